#include "support/OffscreenScreen.h"

#include <cstdlib>
#include <fstream>

#include "support/TempDir.h"

bool useOffscreenScreen(int width, int height) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && std::string(platform) != "offscreen")
        return false;
    static TempDir* folder = new TempDir();
    const std::string config = folder->file("screen.json");
    std::ofstream(config) << R"({"screens": [{"name": "test", "x": 0, "y": 0, "width": )" << width << R"(, "height": )"
                          << height << R"(, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    return setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1) == 0;
}

std::string scaleName() {
    const char* scale = std::getenv("QT_SCALE_FACTOR");
    return scale != nullptr && *scale != '\0' ? scale : "1";
}
