// private_core.investor.FlowEngineContract: the structural type an investor
// engine has to satisfy, and the aliases of the investor call arguments.
//
// The engine itself never imports this module; the public client checks
// engines against it with isinstance, so the class is a real runtime-checkable
// typing.Protocol, built by calling the protocol's own metaclass.
#include "kit/kit.hpp"

namespace {

using kit::arg;
using kit::Call;
using kit::Object;
using kit::Sig;

// The contract's documentation, byte for byte: it fixes the argument domains.
constexpr const char* kContractDoc =
    "\n"
    "    Contract mà private_core phải tuân theo cho investor.*.\n"
    "\n"
    "    Core implementors must expose an HttpSession via `session` so they can call APIs directly.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    namespace : {'stock','market','sector'}\n"
    "    op        : {'flow','breakdown','foreign_room'}  (tùy namespace)\n"
    "    params    : dict đã chuẩn hoá: {\n"
    "                   'ids': list[str],\n"
    "                   'group': InvestorGroup,\n"
    "                   'start': 'YYYY-MM-DD',\n"
    "                   'end':   'YYYY-MM-DD',\n"
    "                   'interval': Interval,\n"
    "                   ... (tham số mở rộng khác)\n"
    "                }\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    pandas.DataFrame\n"
    "        BẮT BUỘC trả DataFrame (client sẽ không tự convert).\n"
    "    ";

// ---------------------------------------------------------------------------
constexpr Sig fetch_df_sig{
    "fetch_df",
    {arg("self"), arg("namespace").str().ann("str"), arg("op").str().ann("str"), arg("params").dict().ann("dict")},
    "pd.DataFrame"};

// Exists only to be matched and overridden: the argument checks are all.
Object fetch_df(Call&) { return {}; }

// typing's special forms take their arguments as one tuple: Literal["a", "b"].
template <class... A>
Object subscript(const Object& form, A&&... a) {
    return form.item(kit::tuple(std::forward<A>(a)...));
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    m.from_import("typing", {"TYPE_CHECKING", "Literal", "Protocol", "Sequence", "Union", "runtime_checkable"});
    m.set("pd", kit::import("pandas"));
    // HttpSession is named for type checkers only: importing wire_link here
    // would tie the contract to the transport at run time.

    Object Literal = m.get("Literal");
    m.set("InvestorGroup", subscript(Literal, "foreign", "proprietary", "local_institutional", "local_individual",
                                     "foreign_institutional", "foreign_individual", "all"));
    Object str_type = kit::type(&PyUnicode_Type);
    Object sequence_of_str = m.get("Sequence").item(str_type);
    m.set("SymbolArg", subscript(m.get("Union"), str_type, sequence_of_str));
    m.set("Interval", subscript(Literal, "1D", "1W", "1M"));

    Object Protocol = m.get("Protocol");
    kit::ClassDef cls(m, "FlowEngineContract", kContractDoc);
    cls.annotate("session", kit::str("'HttpSession'"));
    cls.method(fetch_df_sig, fetch_df);
    Object protocol_cls = cls.build(kit::tuple(Protocol), kit::type(Protocol.type()));
    m.set("FlowEngineContract", m.get("runtime_checkable")(protocol_cls));

    m.set_all({"FlowEngineContract", "InvestorGroup", "SymbolArg", "Interval"});
}

}  // namespace

KIT_MODULE(FlowEngineContract, kit::ModState, body,
           "FlowEngineContract: the structural type an investor engine satisfies, and the aliases of the\n"
           "investor call arguments.")
