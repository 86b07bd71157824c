#include <new>

#include "metrics/MetricsEndpoint.h"
#include "metrics/MetricsServer.h"

namespace {

class ServerEndpoint final : public MetricsEndpoint {
public:
    explicit ServerEndpoint(const MetricsRegistry& registry) : server_(registry) {}
    bool start(const ListenAddress& where) override { return server_.start(where); }
    const std::string& errorText() const override { return server_.errorText(); }

private:
    MetricsServer server_;
};

} // namespace

extern "C" __attribute__((visibility("default"))) MetricsEndpoint* ostrevo_metrics_endpoint(
    const MetricsRegistry& registry) {
    return new (std::nothrow) ServerEndpoint(registry);
}
