// birdtool: builds BIRD firmware packages and shows what is in them.
//
//   birdtool pack -o FILE [block options]   write a package (atomically)
//   birdtool info FILE                      show header, blocks, build info;
//                                           exit 1 when the package is damaged
//   birdtool --help
//
// The package format: a six-byte header
// ("bird", format version) and a zlib payload of typed blocks. The reading
// side is BirdFile, so `info` sees a package exactly as the updater does.
#include <sys/stat.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdParser.h"
#include "aFile.h"

namespace {

const char kUsage[] =
    "Usage: birdtool pack -o FILE [options]\n"
    "       birdtool info FILE\n"
    "       birdtool --help\n"
    "\n"
    "pack writes a BIRD firmware package; an existing FILE is replaced only once\n"
    "the new one is completely written.\n"
    "  -o, --output FILE               the package to write\n"
    "  --loader ADDR:FILE[:FLAGS]      loader image (block type 0) loaded at ADDR; repeatable\n"
    "  --firmware ADDR:FILE[:FLAGS]    firmware image (block type 1) loaded at ADDR; repeatable\n"
    "  --serial-block SN:DESC[:FLAGS]  serial-number locations (block type 2): the address of\n"
    "                                  the 32-bit serial number inside the firmware and of the\n"
    "                                  first character of its descriptor text; 0 means none\n"
    "  --build N                       build number (decimal)              } build information\n"
    "  --version TEXT                  version text, e.g. 2.12.5 (<= 15)   } (block type 4);\n"
    "  --serial HEX                    serial number, e.g. 40F5849A        } all four are needed\n"
    "  --model NAME                    model name (<= 16 characters)       } unless "
    "--no-build-info\n"
    "  --info-flags FLAGS              flags of the build-information block (default 0)\n"
    "  --no-build-info                 write no build-information block\n"
    "  --start ADDR[:FLAGS]            loader start address (block type 5)\n"
    "  --block TYPE:FILE[:FLAGS]       a block of any type 0-31 whose data is the file's bytes\n"
    "                                  as they are; repeatable\n"
    "  --format-version HEX            header version (default 0101)\n"
    "\n"
    "Blocks are written in this order: loaders and firmware images in the order given,\n"
    "then the serial-number block, the build information, the start address and the\n"
    "--block blocks in the order given. ADDR and N are decimal or 0x-prefixed hexadecimal;\n"
    "FLAGS is 0 to 7 (default 0). A FILE whose name ends in \":<number>\" needs an explicit\n"
    ":FLAGS. The payload's checksum is the CRC-32 of the payload bytes before it.\n"
    "\n"
    "info shows the header, every block (type, flags, length, address), the build\n"
    "information, the serial-number locations and the start address, and lists the\n"
    "package's problems on standard error; its exit status is 0 for a sound package and\n"
    "1 otherwise.\n";

int usageError(const char* format, const char* detail) {
    fprintf(stderr, "birdtool: ");
    fprintf(stderr, format, detail);
    fprintf(stderr, "\nTry 'birdtool --help'.\n");
    return 1;
}

// Decimal, or hexadecimal after "0x"; the whole text, at most 32 bits.
bool parseNumber(const std::string& text, uint32_t* value) {
    if (text.empty()) return false;
    int base = 10;
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    for (char c : digits) {
        bool ok = base == 16 ? isxdigit(static_cast<unsigned char>(c))
                             : isdigit(static_cast<unsigned char>(c));
        if (!ok) return false;
    }
    errno = 0;
    unsigned long long v = strtoull(digits.c_str(), nullptr, base);
    if (errno != 0 || v > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

bool parseHex(std::string text, uint32_t* value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = text.substr(2);
    if (text.empty() || text.size() > 8) return false;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    *value = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
    return true;
}

bool parseFlags(const std::string& text, uint8_t* flags) {
    uint32_t v = 0;
    if (!parseNumber(text, &v) || v > 7) return false;
    *flags = static_cast<uint8_t>(v);
    return true;
}

struct FileBlock {
    uint8_t type = 0;
    uint32_t address = 0;  // types 0 and 1
    std::string file;
    uint8_t flags = 0;
};

// "NUM:FILE[:FLAGS]": NUM before the first ":", FLAGS after the last one when
// that part is a number.
bool parseNumberFile(const std::string& text, FileBlock* block, uint32_t* number) {
    size_t first = text.find(':');
    if (first == std::string::npos) return false;
    if (!parseNumber(text.substr(0, first), number)) return false;
    std::string rest = text.substr(first + 1);
    size_t last = rest.rfind(':');
    if (last != std::string::npos) {
        uint8_t flags = 0;
        uint32_t probe = 0;
        std::string tail = rest.substr(last + 1);
        if (parseNumber(tail, &probe)) {
            if (!parseFlags(tail, &flags)) return false;
            block->flags = flags;
            rest = rest.substr(0, last);
        }
    }
    if (rest.empty()) return false;
    block->file = rest;
    return true;
}

bool readFile(const std::string& path, std::vector<uint8_t>* data) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (static_cast<uint64_t>(st.st_size) > bird::kMaxPayloadSize) {
        errno = EFBIG;
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void putBlock(std::vector<uint8_t>& out, uint8_t type, uint8_t flags,
              const std::vector<uint8_t>& data) {
    out.push_back(static_cast<uint8_t>((type & bird::kTypeMask) | (flags << bird::kFlagShift)));
    putU32(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

// One zlib stream (the format of compress/uncompress).
bool deflatePayload(const std::vector<uint8_t>& in, int level, int strategy,
                    std::vector<uint8_t>* out) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, 15, 8, strategy) != Z_OK) return false;
    out->resize(deflateBound(&zs, in.size()));
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out->data();
    zs.avail_out = static_cast<uInt>(out->size());
    int r = deflate(&zs, Z_FINISH);
    out->resize(zs.total_out);
    deflateEnd(&zs);
    return r == Z_STREAM_END;
}

std::string padded(const std::string& text) {
    std::string field = text.substr(0, bird::kBuildInfoField);
    field.resize(bird::kBuildInfoField, ' ');
    return field;
}

bool printableText(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c >= 0x7F) return false;
    return true;
}

int pack(int argc, char** argv) {
    std::string output;
    std::vector<FileBlock> images;  // loaders and firmware, in the order given
    std::vector<FileBlock> raw;
    std::optional<FileBlock> serialBlock;
    uint32_t serialLocation = 0, descriptorLocation = 0;
    std::optional<std::string> build, version, serial, model;
    bool noBuildInfo = false;
    uint8_t infoFlags = 0;
    std::optional<FileBlock> start;
    uint16_t formatVersion = bird::kFormatVersion;

    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        std::string value;
        bool hasValue = false;
        if (word.rfind("--", 0) == 0 && word.find('=') != std::string::npos) {
            value = word.substr(word.find('=') + 1);
            word = word.substr(0, word.find('='));
            hasValue = true;
        }
        auto needValue = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        if (word == "--no-build-info") {
            noBuildInfo = true;
            continue;
        }
        if (word == "-h" || word == "--help") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (!needValue()) return usageError("%s needs a value", word.c_str());

        if (word == "-o" || word == "--output") {
            output = value;
        } else if (word == "--loader" || word == "--firmware") {
            FileBlock block;
            block.type = word == "--loader" ? 0 : 1;
            if (!parseNumberFile(value, &block, &block.address))
                return usageError("expected ADDR:FILE[:FLAGS], not '%s'", value.c_str());
            images.push_back(block);
        } else if (word == "--block") {
            FileBlock block;
            uint32_t type = 0;
            if (!parseNumberFile(value, &block, &type) || type > 31)
                return usageError("expected TYPE:FILE[:FLAGS] with TYPE 0 to 31, not '%s'",
                                  value.c_str());
            block.type = static_cast<uint8_t>(type);
            raw.push_back(block);
        } else if (word == "--serial-block") {
            FileBlock block;
            size_t first = value.find(':');
            if (first == std::string::npos)
                return usageError("expected SN:DESC[:FLAGS], not '%s'", value.c_str());
            std::string rest = value.substr(first + 1);
            size_t second = rest.find(':');
            bool ok = parseNumber(value.substr(0, first), &serialLocation) &&
                      parseNumber(rest.substr(0, second), &descriptorLocation);
            if (ok && second != std::string::npos)
                ok = parseFlags(rest.substr(second + 1), &block.flags);
            if (!ok) return usageError("expected SN:DESC[:FLAGS], not '%s'", value.c_str());
            serialBlock = block;
        } else if (word == "--build") {
            uint32_t n = 0;
            if (!parseNumber(value, &n))
                return usageError("--build needs a number, not '%s'", value.c_str());
            build = std::to_string(n);
        } else if (word == "--version") {
            if (value.empty() || value.size() > 15 || value.find(' ') != std::string::npos ||
                !printableText(value))
                return usageError(
                    "--version needs 1 to 15 printable characters without blanks, not '%s'",
                    value.c_str());
            version = value;
        } else if (word == "--serial") {
            uint32_t n = 0;
            if (!parseHex(value, &n))
                return usageError("--serial needs a hexadecimal number, not '%s'", value.c_str());
            char text[16];
            snprintf(text, sizeof text, "%08X", n);
            serial = text;
        } else if (word == "--model") {
            if (value.empty() || value.size() > bird::kBuildInfoField || !printableText(value) ||
                value.back() == ' ' || value.front() == ' ')
                return usageError(
                    "--model needs 1 to 16 printable characters without outer blanks, not '%s'",
                    value.c_str());
            model = value;
        } else if (word == "--info-flags") {
            if (!parseFlags(value, &infoFlags))
                return usageError("flags are 0 to 7, not '%s'", value.c_str());
        } else if (word == "--start") {
            FileBlock block;
            size_t colon = value.find(':');
            bool ok = parseNumber(value.substr(0, colon), &block.address);
            if (ok && colon != std::string::npos)
                ok = parseFlags(value.substr(colon + 1), &block.flags);
            if (!ok) return usageError("expected ADDR[:FLAGS], not '%s'", value.c_str());
            start = block;
        } else if (word == "--format-version") {
            uint32_t v = 0;
            if (!parseHex(value, &v) || v > 0xFFFF)
                return usageError("--format-version needs a 16-bit hexadecimal number, not '%s'",
                                  value.c_str());
            formatVersion = static_cast<uint16_t>(v);
        } else {
            return usageError("unknown pack option '%s'", word.c_str());
        }
    }

    if (output.empty()) return usageError("%s", "pack needs -o FILE");
    const bool anyInfo = build || version || serial || model;
    if (noBuildInfo && anyInfo)
        return usageError("%s",
                          "--no-build-info cannot go with --build, --version, --serial or --model");
    if (!noBuildInfo && !(build && version && serial && model))
        return usageError("%s",
                          "the build information needs --build, --version, --serial and --model "
                          "(or --no-build-info)");

    // The payload: block count, blocks, checksum.
    std::vector<uint8_t> blocks;
    uint32_t count = 0;
    auto addFile = [&](const FileBlock& block, bool withAddress) -> bool {
        std::vector<uint8_t> content;
        if (!readFile(block.file, &content)) {
            fprintf(stderr, "birdtool: cannot read '%s': %s\n", block.file.c_str(),
                    strerror(errno ? errno : ENOENT));
            return false;
        }
        std::vector<uint8_t> data;
        if (withAddress) putU32(data, block.address);
        data.insert(data.end(), content.begin(), content.end());
        putBlock(blocks, block.type, block.flags, data);
        ++count;
        return true;
    };
    for (const FileBlock& image : images)
        if (!addFile(image, true)) return 1;
    if (serialBlock) {
        std::vector<uint8_t> data;
        putU32(data, serialLocation);
        putU32(data, descriptorLocation);
        putBlock(blocks, 2, serialBlock->flags, data);
        ++count;
    }
    if (!noBuildInfo) {
        std::string text = padded(*build) + padded(*version) + padded(*serial) + padded(*model);
        putBlock(blocks, 4, infoFlags, std::vector<uint8_t>(text.begin(), text.end()));
        ++count;
    }
    if (start) {
        std::vector<uint8_t> data;
        putU32(data, start->address);
        putBlock(blocks, 5, start->flags, data);
        ++count;
    }
    for (const FileBlock& block : raw)
        if (!addFile(block, false)) return 1;

    std::vector<uint8_t> payload;
    putU32(payload, count);
    payload.insert(payload.end(), blocks.begin(), blocks.end());
    if (payload.size() + bird::kChecksumSize > bird::kMaxPayloadSize) {
        fprintf(stderr, "birdtool: the payload would be %zu bytes; readers take at most %zu\n",
                payload.size() + bird::kChecksumSize, bird::kMaxPayloadSize);
        return 1;
    }
    uint32_t crc = static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), payload.data(), static_cast<uInt>(payload.size())));
    putU32(payload, crc);

    // Readers inflate into at most 8 times the compressed size, so a payload
    // that compresses better than 8:1 (long runs of padding) is written with
    // Huffman coding only, which never goes below 1 bit a byte.
    std::vector<uint8_t> compressed;
    const char* method = "zlib level 9";
    bool ok = deflatePayload(payload, Z_BEST_COMPRESSION, Z_DEFAULT_STRATEGY, &compressed);
    if (ok && payload.size() > 8 * compressed.size()) {
        method = "zlib Huffman only";
        ok = deflatePayload(payload, Z_BEST_COMPRESSION, Z_HUFFMAN_ONLY, &compressed);
    }
    if (ok && payload.size() > 8 * compressed.size()) {
        method = "zlib stored";
        ok = deflatePayload(payload, Z_NO_COMPRESSION, Z_DEFAULT_STRATEGY, &compressed);
    }
    if (!ok) {
        fprintf(stderr, "birdtool: compressing the payload failed\n");
        return 1;
    }

    std::vector<uint8_t> file = {'b',
                                 'i',
                                 'r',
                                 'd',
                                 static_cast<uint8_t>(formatVersion >> 8),
                                 static_cast<uint8_t>(formatVersion & 0xFF)};
    file.insert(file.end(), compressed.begin(), compressed.end());
    aErr err = aFile_WriteAtomic(output.c_str(), file.data(), file.size());
    if (err != aErrNone) {
        fprintf(stderr, "birdtool: cannot write '%s' (error %d: %s); it is left as it was\n",
                output.c_str(), static_cast<int>(err), strerror(errno));
        return 1;
    }
    printf("Wrote %s: %u blocks, payload %zu bytes, file %zu bytes (%s)\n", output.c_str(), count,
           payload.size(), file.size(), method);
    return 0;
}

std::string shown(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

int info(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) {
        fprintf(stderr, "birdtool: cannot read '%s': %s\n", path, strerror(errno));
        return 1;
    }
    printf("File: %s (%lld bytes)\n", path, static_cast<long long>(st.st_size));

    BirdFile bird;
    if (!bird.Load(path)) {
        if (!BirdFile::VerifyFile(path))
            fprintf(stderr, "birdtool: problem: the header is not a BIRD header\n");
        for (const std::string& problem : bird.StructureProblems())
            fprintf(stderr, "birdtool: problem: %s\n", problem.c_str());
        fprintf(stderr, "birdtool: %s cannot be loaded\n", path);
        return 1;
    }

    uint32_t sig = bird.Signature();
    std::string sigText;
    for (int shift = 24; shift >= 0; shift -= 8)
        sigText += static_cast<char>((sig >> shift) & 0xFF);
    printf("Signature: \"%s\" (0x%08X)\n", shown(sigText).c_str(), sig);
    printf("Format version: 0x%04X\n", bird.Version());
    printf("Payload: %zu bytes\n", bird.PayloadSize());
    if (bird.ReportedBlockCount() != bird.BlockCount())
        printf("Blocks: %u (the payload reports %u)\n", bird.BlockCount(),
               bird.ReportedBlockCount());
    else
        printf("Blocks: %u\n", bird.BlockCount());

    printf("    #  Type               Flags      Length  Address\n");
    unsigned index = 0;
    for (const BirdBlock& block : bird.Blocks()) {
        const bool image =
            block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
        char address[16] = "-";
        if (image) snprintf(address, sizeof address, "0x%08X", block.address);
        printf("  %3u  %2u %-15s %5u  %10u  %s\n", index++, block.type,
               bird::BlockTypeName(block.type), block.flags, block.length, address);
    }

    if (bird.StructureOk() && bird.PayloadSize() >= bird::kChecksumSize) {
        uint32_t crc = static_cast<uint32_t>(
            crc32(crc32(0L, Z_NULL, 0), bird.Payload(),
                  static_cast<uInt>(bird.PayloadSize() - bird::kChecksumSize)));
        printf("Checksum: 0x%08X (%s)\n", bird.Checksum(),
               crc == bird.Checksum() ? "the CRC-32 of the payload"
                                      : "not the CRC-32 of the payload; not checked");
    } else {
        printf("Checksum: 0x%08X\n", bird.Checksum());
    }

    if (!bird.FindBlocks(BirdFile::BLOCK_BUILD_INFO).empty()) {
        printf("Build: %u\n", bird.GetBuild());
        printf("Version: %s\n", shown(bird.GetVersion()).c_str());
        printf("Serial number: %08X\n", bird.GetSerialNumber());
        printf("Model: %s\n", shown(bird.GetModel()).c_str());
    } else {
        printf("Build information: none\n");
    }
    if (bird.HasSerialNumberBlock())
        printf("Serial number location: 0x%08X, descriptor: 0x%08X\n", bird.SerialNumberAddress(),
               bird.DescriptorAddress());
    uint32_t start = 0;
    if (bird.GetStartAddress(&start)) printf("Loader start address: 0x%08X\n", start);
    fflush(stdout);

    const std::vector<std::string> problems = bird.PackageProblems();
    for (const std::string& problem : problems)
        fprintf(stderr, "birdtool: problem: %s\n", problem.c_str());
    if (!problems.empty()) {
        fprintf(stderr, "birdtool: %s is damaged\n", path);
        return 1;
    }
    printf("Package is sound\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return 1;
    }
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (command == "pack") return pack(argc, argv);
    if (command == "info") {
        if (argc != 3) return usageError("%s", "info takes exactly one FILE");
        return info(argv[2]);
    }
    return usageError("unknown command '%s'", command.c_str());
}
