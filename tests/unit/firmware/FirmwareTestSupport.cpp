#include "FirmwareTestSupport.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fwtest {

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rs485-fwtest-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "cannot create a scratch folder";
    m_dir = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::string ScratchDir::write(const std::string& name, const Bytes& bytes) const {
    const std::string p = path(name);
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return p;
}

Load loadBytes(const Bytes& bytes, const std::string& name) {
    Load load;
    load.reports = reportsOf([&] { load.ok = loadBinFileBytes(bytes, "/some/folder/" + name, load.file, load.description, load.labels); });
    return load;
}

Load loadPath(const std::string& path) {
    Load load;
    load.reports = reportsOf([&] { load.ok = openBinFile(path, load.file, load.description, load.labels); });
    return load;
}

uint64_t MkfwRun::number(const std::string& key) const {
    const auto it = keys.find(key);
    if (it == keys.end()) {
        ADD_FAILURE() << "rs485-mkfw printed no " << key;
        return 0;
    }
    return std::stoull(it->second);
}

namespace {
std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}
} // namespace

MkfwRun runMkfw(const std::vector<std::string>& args) {
    std::string command = shellQuoted(RS485_MKFW);
    for (const std::string& a : args)
        command += " " + shellQuoted(a);
    command += " 2>&1";
    MkfwRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return run;
    }
    std::array<char, 4096> chunk{};
    size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        run.out.append(chunk.data(), n);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        if (const size_t eq = line.find('='); eq != std::string::npos)
            run.keys[line.substr(0, eq)] = line.substr(eq + 1);
    return run;
}

Bytes SectionsFile::build() const {
    Bytes f(size);
    for (size_t i = 0; i < f.size(); ++i) {
        const uint8_t b = uint8_t(i * 7 + 1);
        f[i] = b == 0xFF ? 0x00 : b;
    }
    const auto header = [&](size_t h, const char* signature, int index, uint8_t reserved, const Bytes& fields) {
        putLe32(f, h, 36);
        putText(f, h + 4, signature);
        put(f, h + 9, {processor[index], reserved, structureId[index]});
        put(f, h + 12, fields);
        put(f, h + 24, Bytes(12, 0));
    };
    // Device type 18.4, versions, hardware 2.9 down to 1.0 (see the worked headers).
    header(0x200, "VltBl", 2, 0, {0x04, 0x00, 0x12, 0x00, 0x82, 0x01, 0x09, 0x02, 0x00, 0x01, 0x00, 0x01});
    header(0x1200, "VltLt", 0, reserved[0], {0x04, 0x00, 0x12, 0x00, 0x82, 0x01, 0x09, 0x02, 0x00, 0x01, 0x00, 0x01});
    header(bgHeader, "VltBg", 1, reserved[1], {0x04, 0x00, 0x12, 0x00, 0x05, 0x01, 0x09, 0x02, 0x02, 0x01, 0x00, 0x01});
    Bytes scrambled{uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    descrambleFileBytes(scrambled, LITTLE_VALUE_OFFSET); // the key is its own inverse
    if (f.size() >= LITTLE_VALUE_OFFSET + 4)
        put(f, LITTLE_VALUE_OFFSET, scrambled);
    for (size_t i = endLine; i < endLine + 16 && i < f.size(); ++i)
        f[i] = 0xFF;
    return f;
}

} // namespace fwtest
