#pragma once
// Forwarding functions: the launcher's only way into the player runtime library. Each maps the
// library on first use (EnsureRuntimeLibrary), looks its export up by name and calls it.
// GUI thread only.
//
// When the library or an export is missing, a call does nothing and returns its failure value
// (0, or a failing HRESULT); FPC_CompareVersions then compares the two versions itself.

#include "brimtale/runtime_api.h"

namespace flash {

#define BRIMTALE_DECLARE_FORWARDER(ret, name, params, args) ret name params;
BRIMTALE_RUNTIME_OPERATIONS(BRIMTALE_DECLARE_FORWARDER)
#undef BRIMTALE_DECLARE_FORWARDER

// Where the forwarding functions find the runtime's exports. The default maps the embedded
// library and looks the name up in it; tests install a recording runtime instead.
using ExportResolver = void* (*)(const char* name);
void SetRuntimeExportResolver(ExportResolver resolver);  // null restores the default

}  // namespace flash
