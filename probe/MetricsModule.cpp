#include "probe/MetricsModule.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace MetricsModule {

std::string path() {
    // Not argv[0]: with the raw-socket capability no working directory or PATH may choose the code it loads.
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !program.is_absolute())
        return {};
    return (program.parent_path() / OSTREVO_MODULE_RELATIVE_DIR / (std::string(kMetricsModule) + ".so"))
        .lexically_normal()
        .string();
}

std::unique_ptr<MetricsEndpoint> load(const std::string& file, const MetricsRegistry& registry, std::string& error) {
    if (file.empty()) {
        error = "cannot find the program's own folder in /proc/self/exe";
        return nullptr;
    }
    // Never closed: the server's threads run until the process ends.
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = why != nullptr ? why : "cannot load " + file;
        return nullptr;
    }
    auto* create = reinterpret_cast<MetricsEndpointFactory*>(dlsym(handle, kMetricsEndpointFactory));
    if (create == nullptr) {
        error = file + ": no entry point " + kMetricsEndpointFactory;
        return nullptr;
    }
    std::unique_ptr<MetricsEndpoint> endpoint(create(registry));
    if (!endpoint)
        error = "out of memory";
    return endpoint;
}

} // namespace MetricsModule
