#include "app/Modules.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace Modules {

std::string path(const std::string& name) {
    // The kernel's own record of the executable, not argv[0]: no working directory or PATH can point elsewhere.
    // A program with file capabilities also may not widen its search by any variable of its environment.
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = error ? std::filesystem::path(".") : program.parent_path();
    return (folder / OSTREVO_MODULE_RELATIVE_DIR / (name + ".so")).lexically_normal().string();
}

void* entryPoint(const std::string& file, const char* symbol, std::string& error) {
    // Never closed: a module's objects and the handlers it connects may live as long as the program.
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = why != nullptr ? why : "cannot load " + file;
        return nullptr;
    }
    void* entry = dlsym(handle, symbol);
    if (entry == nullptr) {
        error = file + ": no entry point " + symbol;
        return nullptr;
    }
    return entry;
}

} // namespace Modules
