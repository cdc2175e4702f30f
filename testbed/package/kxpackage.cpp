// kxpackage.exe FOLDER [VERSION] [BULK_MB]: writes FOLDER\instupg_iKX.zip, the
// sensor's install package made from the stand-ins beside this program.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sensor_package.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: kxpackage FOLDER [VERSION] [BULK_MB]\n");
        return 2;
    }
    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string binDir(self);
    binDir.resize(binDir.rfind('\\') + 1);
    std::string folder = argv[1];
    if (folder.back() != '\\') folder += '\\';
    ::CreateDirectoryA(folder.c_str(), nullptr);

    testbed::SensorPackageOptions options;
    if (argc > 2) options.version = argv[2];
    if (argc > 3) options.bulkBytes = std::strtoul(argv[3], nullptr, 10) * 1024 * 1024;
    std::string reason;
    const std::wstring wideFolder(folder.begin(), folder.end());
    if (!testbed::BuildSensorPackage(wideFolder, std::wstring(binDir.begin(), binDir.end()),
                                     options, &reason)) {
        std::printf("kxpackage: %s\n", reason.c_str());
        return 1;
    }
    std::printf("kxpackage: wrote %sinstupg_iKX.zip (version %s)\n", folder.c_str(),
                options.version.c_str());
    return 0;
}
