// rs485-mkfw: writes firmware files of the three formats, valid or with a
// deliberate fault, for the simulator, the tests and manual runs.
#include "sim/mkfw/FirmwareLayout.h"
#include "platform/CommandLine.h"
#include "platform/StandardDescriptors.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <unistd.h>

namespace {

const char* const HELP = R"(Usage: rs485-mkfw --format legacy|32bits|sections --output FILE [options]

Writes a firmware file laid out as the device firmware builds lay it out, and
prints key=value lines: the signature offsets, the file size and, for a
sectioned file, what the upgrader must find (bg_length: big-code length L,
bg_checksum: its 64-bit checksum; neither is written in the file). Versions
are MAJOR.MINOR in decimal; numbers are decimal or 0x-hexadecimal.

Every format:
  --format F            legacy ("Veltra" header, big-endian), 32bits ("Veltra32"
                        header) or sections (BL page, little code with "VltLt",
                        big code with "VltBg"). Required.
  --output FILE         file to write (use a .bin or .bi2 name). Required.
  --device-type M.m     device type (default 18.4).
  --max-hardware M.m    highest hardware accepted, or "none" (default none).
  --min-hardware M.m    lowest hardware accepted, or "none" (default none).
                        Legacy and 32bits: "none" writes the version word alone.
                        Sections: "none" writes 255.255 (highest) and 0.0 (lowest).
  --seed N              seed of the code bytes (default 1): same options and
                        seed give the same file.
  --fault NAME          write a deliberate fault (repeatable), see below.
  --truncate N          cut the written file to N bytes.

Legacy and 32bits:
  --version M.m         firmware version of the file (default 1.5).
  --min-version M.m     minimum device firmware (default 1.0).
  --header-offset N     offset of the header: legacy, of "Veltra" (16 or more,
                        the image starts 16 bytes before it); 32bits, of its
                        header-size word (default 0x100). Multiple of 4.
  --code-size N         file size in bytes (default 0x1000).

Sections:
  --lt-version M.m      little-code version, minor below 128; written with the
                        little-code mark (1.2 is stored as 82 01) (default 1.2).
  --lt-min-version M.m  minimum device firmware for the little code (default 1.0).
  --bg-version M.m      big-code version, minor below 128 (default 1.5).
  --bg-needs-lt M.m     little-code version the big code needs (default: --lt-version).
  --processor N         processor code of the three headers (default 1; the
                        upgrader accepts 1 and 5, refuses 2 (LPC1788), 3, 4
                        and unknown codes).
  --bl-processor N      processor code of the BL header (default: --processor).
  --structure-id N      structure ID of LT, BG and BL (default 3).
  --bg-structure-id N   structure ID of BG (default: --structure-id).
  --bl-structure-id N   structure ID of BL (default: --structure-id).
  --lt-reserved N       reserved byte (H+10) of LT (default 0; ignored by the upgrader).
  --bg-reserved N       reserved byte (H+10) of BG (default 0).
  --bl-header-offset N  BL header inside the first page (default 0x200).
  --lt-header-offset N  LT header from the little-code start 4096 (default 0x200).
  --lt-size N           little-code bytes from 4096 (default 0x3000); the big-code
                        header follows on the next 4096 boundary. The little code
                        must hold the scrambled value at 0x3014.
  --bg-size N           big-code bytes from its header (default 0x2000); the file
                        goes on with 0xFF, so the first all-0xFF 16-byte line
                        (counted from the "VltBg" signature) ends the big code.
  --lt-value N          build value scrambled into 0x3014 (default 2013456).

Faults (--fault NAME):
  unaligned-signature   header signature 2 bytes off a multiple of 4 (LT for sections)
  extra-veltra          a second "Veltra" after the header (sections: in the big code;
                        32bits: a valid file whose last "Veltra" lies after the header)
  header-size-40        header-size word 40 (32bits header, or LT)
  lt-minor-low          LT version without the little-code mark
  bg-minor-high         BG version with the little-code mark
  processor-mismatch    BL processor differs from LT and BG (5, or 1 when --processor 5)
  structure-mismatch    BG structure ID = LT structure ID + 1
  no-end-marker         big code runs past the processor's end-search limit
  end-line-cut          the file ends 16 bytes after the start of the 0xFF line
  signature-at-start    signature at offset 0 (legacy: "Veltra"; 32bits: "Veltra32";
                        sections: "VltLt")
  bg-in-first-page      big-code header at 0x800, inside the first page
  bl-page-cut           BL header in the last page, which the file does not fill
  short-file            sectioned file that ends before 0x3018
  header-cut            the file ends inside the last header

Examples:
  rs485-mkfw --format sections --output fw.bin --lt-version 1.2 --bg-version 1.5 \
             --max-hardware 2.9 --min-hardware 1.0 --processor 1 --structure-id 3
  rs485-mkfw --format legacy --output old.bin --device-type 18.4 --version 1.5 \
             --max-hardware 2.9 --min-version 1.0 --code-size 1000 --header-offset 0x40
  rs485-mkfw --format 32bits --output f.bi2 --version 2.1 --min-hardware 1.0
  rs485-mkfw --format sections --output bad.bin --fault processor-mismatch
  rs485-mkfw --format 32bits --output cut.bin --truncate 100
)";

bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    value = v;
    return true;
}

bool parseVersion(const std::string& text, mkfw::Version& version) {
    const size_t dot = text.find('.');
    uint64_t major = 0, minor = 0;
    if (dot == std::string::npos || !parseNumber(text.substr(0, dot), 0xFFFF, major) ||
        !parseNumber(text.substr(dot + 1), 0xFFFF, minor))
        return false;
    version = {uint16_t(major), uint16_t(minor)};
    return true;
}

bool parseLimit(const std::string& text, std::optional<mkfw::Version>& limit) {
    if (text == "none") {
        limit.reset();
        return true;
    }
    mkfw::Version v;
    if (!parseVersion(text, v))
        return false;
    limit = v;
    return true;
}

int usageError(const std::string& text) {
    std::cerr << "rs485-mkfw: " << text << "\nTry rs485-mkfw --help.\n";
    return 2;
}

// Writes through a temporary file and renames it, so a failed run never leaves
// a half-written firmware file under the requested name.
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    const std::string temporary = path + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    const bool ok = done == bytes.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (!platform::secureStandardDescriptors())
        return 1;
    mkfw::Options o;
    std::string output;
    bool formatGiven = false;

    const auto version = [&](mkfw::Version& v) { return [&v](const std::string& t) { return parseVersion(t, v); }; };
    const auto optionalVersion = [&](std::optional<mkfw::Version>& v) {
        return [&v](const std::string& t) {
            mkfw::Version parsed;
            if (!parseVersion(t, parsed))
                return false;
            v = parsed;
            return true;
        };
    };
    const auto number32 = [&](uint32_t& n) {
        return [&n](const std::string& t) {
            uint64_t v;
            return parseNumber(t, 0xFFFFFFFF, v) && ((n = uint32_t(v)), true);
        };
    };
    const auto number8 = [&](uint8_t& n) {
        return [&n](const std::string& t) {
            uint64_t v;
            return parseNumber(t, 0xFF, v) && ((n = uint8_t(v)), true);
        };
    };
    const auto optionalNumber8 = [&](std::optional<uint8_t>& n) {
        return [&n](const std::string& t) {
            uint64_t v;
            return parseNumber(t, 0xFF, v) && ((n = uint8_t(v)), true);
        };
    };
    const std::map<std::string, std::function<bool(const std::string&)>> options = {
        {"--format",
         [&](const std::string& t) {
             formatGiven = true;
             if (t == "legacy")
                 o.format = mkfw::Format::Legacy;
             else if (t == "32bits")
                 o.format = mkfw::Format::Bits32;
             else if (t == "sections")
                 o.format = mkfw::Format::Sections;
             else
                 return false;
             return true;
         }},
        {"--output", [&](const std::string& t) { output = t; return !t.empty(); }},
        {"--device-type", version(o.deviceType)},
        {"--max-hardware", [&](const std::string& t) { return parseLimit(t, o.maxHardware); }},
        {"--min-hardware", [&](const std::string& t) { return parseLimit(t, o.minHardware); }},
        {"--seed", number32(o.seed)},
        {"--fault",
         [&](const std::string& t) {
             const auto fault = mkfw::faultByName(t);
             if (fault)
                 o.faults.push_back(*fault);
             return fault.has_value();
         }},
        {"--truncate",
         [&](const std::string& t) {
             uint64_t v;
             return parseNumber(t, UINT64_MAX, v) && ((o.truncate = v), true);
         }},
        {"--version", version(o.version)},
        {"--min-version", version(o.minVersion)},
        {"--header-offset", number32(o.headerOffset)},
        {"--code-size", number32(o.codeSize)},
        {"--lt-version", version(o.ltVersion)},
        {"--lt-min-version", version(o.ltMinVersion)},
        {"--bg-version", version(o.bgVersion)},
        {"--bg-needs-lt", optionalVersion(o.bgNeedsLt)},
        {"--processor", number8(o.processor)},
        {"--bl-processor", optionalNumber8(o.blProcessor)},
        {"--structure-id", number8(o.structureId)},
        {"--bg-structure-id", optionalNumber8(o.bgStructureId)},
        {"--bl-structure-id", optionalNumber8(o.blStructureId)},
        {"--lt-reserved", number8(o.ltReserved)},
        {"--bg-reserved", number8(o.bgReserved)},
        {"--bl-header-offset", number32(o.blHeaderOffset)},
        {"--lt-header-offset", number32(o.ltHeaderOffset)},
        {"--lt-size", number32(o.ltSize)},
        {"--bg-size", number32(o.bgSize)},
        {"--lt-value", number32(o.ltValue)},
    };

    CLI::App app;
    app.set_help_flag();
    app.allow_extras(); // refused below with this program's text
    bool help = false;
    std::string refused;
    app.add_flag_callback("-h,--help", [&] { help = true; })->trigger_on_parse();
    for (const auto& [name, apply] : options)
        app.add_option_function<std::string>(name, [&, name = name, apply = apply](const std::string& value) {
               if (refused.empty() && !apply(value))
                   refused = "bad value for " + name + ": " + value;
           })->trigger_on_parse();
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        app.parse(platform::parserArguments(args));
    } catch (const CLI::ArgumentMismatch&) {
        return usageError(platform::optionWithoutValue(args) + " needs a value");
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    if (help) {
        std::cout << HELP;
        return 0;
    }
    for (const std::string& extra : app.remaining())
        if (extra != "--")
            return usageError("unknown option " + extra);
    if (!refused.empty())
        return usageError(refused);
    if (!formatGiven)
        return usageError("--format is required");
    if (output.empty())
        return usageError("--output is required");

    const mkfw::Result result = mkfw::layOut(o);
    if (!result.error.empty())
        return usageError(result.error);
    if (!writeFile(output, result.bytes)) {
        std::cerr << "rs485-mkfw: cannot write " << output << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::cout << "file=" << output << "\n";
    for (const std::string& line : result.report)
        std::cout << line << "\n";
    return 0;
}
