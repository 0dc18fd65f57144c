#include "flash/FlashRuntime.h"

#include <string_view>
#include <type_traits>

#include "flash/ImageLoader.h"

namespace flash {
namespace {

void* DefaultResolver(const char* name) { return FindImageExport(EnsureRuntimeLibrary(), name); }

ExportResolver g_resolver = DefaultResolver;

template <typename Function>
Function Resolve(const char* name) {
  return reinterpret_cast<Function>(g_resolver(name));
}

// What an operation answers when the runtime or its export is missing: its failure value. BOOL and
// HRESULT are the same integer type, so the forwarder says which of them the list names.
template <auto operation, typename Result, bool resultIsHResult, typename... Args>
Result Fallback(Args...) {
  if constexpr (resultIsHResult)
    return static_cast<HRESULT>(0x80004005);  // E_FAIL
  else if constexpr (!std::is_void_v<Result>)
    return Result{};
}

// The comparison is needed even without a runtime (the version blacklist): most significant part first.
template <>
int Fallback<&FPC_CompareVersions, int, false>(const SFPCVersion* a, const SFPCVersion* b) {
  for (int part = 3; part >= 0; --part)
    if (a->v[part] != b->v[part]) return a->v[part] < b->v[part] ? -1 : 1;
  return 0;
}

}  // namespace

void SetRuntimeExportResolver(ExportResolver resolver) { g_resolver = resolver ? resolver : DefaultResolver; }

// Every export is looked up again on each call, so a runtime swapped in by a test takes effect at once.
#define BRIMTALE_DEFINE_FORWARDER(ret, name, params, args)                 \
  ret name params {                                                        \
    if (auto function = Resolve<PFN_##name>(#name)) return function args;  \
    return Fallback<&name, ret, std::string_view(#ret) == "HRESULT"> args; \
  }
BRIMTALE_RUNTIME_OPERATIONS(BRIMTALE_DEFINE_FORWARDER)
#undef BRIMTALE_DEFINE_FORWARDER

}  // namespace flash
