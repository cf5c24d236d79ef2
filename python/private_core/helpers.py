"""Table helpers of the price fetchers (placeholder)."""
