#include "platform/SharedLibrary.h"

#include <dlfcn.h>

namespace platform {

void* LoadLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

}  // namespace platform
