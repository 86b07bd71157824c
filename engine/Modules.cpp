#include "engine/Modules.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace Modules {

std::string path(const std::string& name) {
    // The kernel's own record of the executable, not argv[0]: no working directory or PATH can point elsewhere.
    // A program with file capabilities also may not widen its search by any variable of its environment.
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !program.is_absolute())
        return {}; // no guessing from the working directory: the module is then missing, and says so
    return (program.parent_path() / OSTREVO_MODULE_RELATIVE_DIR / (name + ".so")).lexically_normal().string();
}

void* entryPoint(const std::string& file, const char* symbol, std::string& error) {
    if (file.empty()) {
        error = "cannot find the program's own folder in /proc/self/exe";
        return nullptr;
    }
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
