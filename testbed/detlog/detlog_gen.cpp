// Writes detection log files into a folder, for the demo and by hand:
//
//   detlog_gen FOLDER --mixed [LARGE_BYTES]   one file of each kind (valid, missing
//                                             fields, NUL after the object, not
//                                             JSON, empty, large, ...)
//   detlog_gen FOLDER --each-missing          a record without each field in turn
//   detlog_gen FOLDER --valid COUNT [BYTES]   COUNT valid records of BYTES each
#include <cstdio>
#include <cstdlib>
#include <string>

#include "detection_logs.h"

namespace {

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

int Usage() {
    std::printf(
        "usage: detlog_gen FOLDER --mixed [LARGE_BYTES] | --each-missing |"
        " --valid COUNT [BYTES]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return Usage();
    std::wstring folder = argv[1];
    if (folder.back() != L'\\') folder += L'\\';
    const std::wstring mode = argv[2];
    const size_t number = argc > 3 ? std::wcstoul(argv[3], nullptr, 10) : 0;
    std::vector<detlog::Sample> samples;
    if (mode == L"--mixed") {
        samples = detlog::MixedSamples(number ? number : 8u << 20);
    } else if (mode == L"--each-missing") {
        samples = detlog::EachFieldMissing();
    } else if (mode == L"--valid" && number) {
        const size_t bytes = argc > 4 ? std::wcstoul(argv[4], nullptr, 10) : 1024;
        for (size_t i = 0; i < number; ++i) {
            samples.push_back({"record_" + std::to_string(i) + ".json",
                               detlog::Record({bytes, {}, false, static_cast<unsigned>(i)}), true});
        }
    } else {
        return Usage();
    }
    for (const auto& sample : samples) {
        const std::wstring path = folder + std::wstring(sample.name.begin(), sample.name.end());
        if (!detlog::WriteBytes(path, sample.bytes)) {
            std::printf("detlog_gen: cannot write %s\n", Narrow(path).c_str());
            return 1;
        }
        if (mode != L"--valid") {
            std::printf("%-42s %9zu bytes  %s\n", sample.name.c_str(), sample.bytes.size(),
                        sample.valid ? "valid" : "invalid");
        }
    }
    if (mode == L"--valid") std::printf("%zu records written\n", samples.size());
    return 0;
}
