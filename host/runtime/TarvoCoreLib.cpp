// The built-in functions every script has: output, sizes, texts of values, errors, kinds.
#include "TarvoLib.h"

namespace tarvo {
namespace {

Value Print(Args& a) {
    KxString s("");
    for (Value& v : a) {
        KxString sArg = v.ShortText();
        a.in.Reserve(s, 0ull + s.Length() + sArg.Length(), a.nLine);
        s << sArg;
    }
    KxScConsoleManager::pcmManager->PrintStringNl(s);
    return Value::Nil();
}

Value Len(Args& a) {
    Value& v = a[0];
    if (v.Is(HF_LIST)) return Value::Int(ListObject(v)->ItemCount());
    if (v.Is(HF_MAP)) return Value::Int(MapObject(v)->Count());
    if (v.Is(HF_STRING)) return Value::Int(static_cast<int>(v.Text().Length()));
    a.Expected(0, "a list, a map or a string");
}

Value Str(Args& a) { return Value::Adopt(KxScDataHandle::CreateData(a[0].ShortText(), false)); }

Value Error(Args& a) {
    ScriptError e{a.Int32(0), a.Text(1), a.nLine, a.in.psPath, a.in.Calls(a.nLine)};
    return MakeError(e);
}

Value TypeOf(Args& a) {
    Value& v = a[0];
    const char* psz = v.IsInt() ? "int" : v.IsFloat() ? "float" : v.IsNil() ? "nil" : v.Is(HF_STRING) ? "string"
                      : v.Is(HF_LIST) ? "list" : v.Is(HF_MAP) ? "map" : v.Is(HF_ERROR) ? "error"
                      : v.Is(HF_METHOD) ? "method" : nullptr;
    if (!psz && IsFunction(v)) psz = "function";
    return NewString(psz ? KxString(psz) : v.Object()->GetClassNameA());
}

}  // namespace

const Builtin kCoreLibrary[] = {
    {"print", 0, -1, Print},
    {"len", 1, 1, Len},
    {"str", 1, 1, Str},
    {"error", 2, 2, Error},
    {"typeOf", 1, 1, TypeOf},
    {nullptr, 0, 0, nullptr},
};

}  // namespace tarvo
