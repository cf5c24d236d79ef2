"""Public layers of the Varnix client that the private core relies on."""
