// birdtool and the Updater's -C and -I through the real programs. A package
// made by `birdtool pack` is read four ways that must agree: `birdtool info`,
// `Updater -C -f`, and a reader written here from the format text (zlib's
// inflate and a block walk of its own), so a bug cannot agree with itself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "process.h"
#include "tempdir.h"

using testsupport::readFile;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kBirdtool = std::string(BUILD_DIR) + "/tools/birdtool/birdtool";

RunResult birdtool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kBirdtool};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::RunOptions options;
    options.timeoutSeconds = 30;
    return testsupport::run(argv, options);
}

// The real Updater, always with the store under `home` (-i).
RunResult updater(const TempDir& home, std::vector<std::string> args) {
    args.insert(args.begin(), {UPDATER_BIN, "-i", home.path()});
    testsupport::RunOptions options;
    options.env = {{"HOME", home.path()}};
    options.timeoutSeconds = 30;
    return testsupport::run(args, options);
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

bool has(const std::string& text, const std::string& needle) {
    return text.find(needle) != std::string::npos;
}

std::string bytesOf(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

// --- The independent reader ----------------------------------------------------

struct Block {
    unsigned type, flags;
    std::string data;
};

struct Package {
    std::string error;  // empty when the whole file reads as specified
    std::string header;
    size_t compressedSize = 0;
    std::string payload;
    unsigned count = 0;
    std::vector<Block> blocks;
    unsigned checksum = 0;
};

unsigned be32(const std::string& s, size_t at) {
    return (static_cast<unsigned>(static_cast<unsigned char>(s[at])) << 24) |
           (static_cast<unsigned>(static_cast<unsigned char>(s[at + 1])) << 16) |
           (static_cast<unsigned>(static_cast<unsigned char>(s[at + 2])) << 8) |
           static_cast<unsigned>(static_cast<unsigned char>(s[at + 3]));
}

Package readPackage(const std::string& path) {
    Package p;
    const std::string file = readFile(path);
    if (file.size() < 6) {
        p.error = "short header";
        return p;
    }
    p.header = file.substr(0, 6);
    p.compressedSize = file.size() - 6;

    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) {
        p.error = "inflateInit";
        return p;
    }
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + 6));
    zs.avail_in = static_cast<uInt>(file.size() - 6);
    char chunk[65536];
    int r;
    do {
        zs.next_out = reinterpret_cast<Bytef*>(chunk);
        zs.avail_out = sizeof chunk;
        r = inflate(&zs, Z_NO_FLUSH);
        p.payload.append(chunk, sizeof chunk - zs.avail_out);
    } while (r == Z_OK);
    const bool trailing = zs.avail_in != 0;
    inflateEnd(&zs);
    if (r != Z_STREAM_END || trailing) {
        p.error = "zlib stream";
        return p;
    }

    const std::string& s = p.payload;
    if (s.size() < 8) {
        p.error = "short payload";
        return p;
    }
    p.count = be32(s, 0);
    size_t at = 4;
    while (s.size() - at > 4) {
        if (s.size() - 4 - at < 5) {
            p.error = "block header";
            return p;
        }
        Block b;
        b.type = static_cast<unsigned char>(s[at]) & 0x1F;
        b.flags = static_cast<unsigned char>(s[at]) >> 5;
        unsigned length = be32(s, at + 1);
        at += 5;
        if (length > s.size() - 4 - at) {
            p.error = "block length";
            return p;
        }
        b.data = s.substr(at, length);
        at += length;
        p.blocks.push_back(b);
    }
    p.checksum = be32(s, at);
    if (at + 4 != s.size()) p.error = "bytes after the checksum";
    if (p.blocks.size() != p.count) p.error = "count";
    return p;
}

std::string be32Text(unsigned v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (24 - 8 * i));
    return s;
}

// The listing line both birdtool info and Updater -C print for a block.
std::string blockLine(unsigned index, const Block& b) {
    const char* names[] = {"loader",  "firmware",   "serial number",
                           "unknown", "build info", "start address"};
    const char* name = b.type < 6 ? names[b.type] : "unknown";
    char address[16] = "-";
    if (b.type <= 1) snprintf(address, sizeof address, "0x%08X", be32(b.data, 0));
    char line[128];
    snprintf(line, sizeof line, "  %3u  %2u %-15s %5u  %10zu  %s\n", index, b.type, name, b.flags,
             b.data.size(), address);
    return line;
}

struct Inputs {
    TempDir dir;
    std::string loader, firmware, raw;
    Inputs() {
        loader = dir.file("loader.bin");
        firmware = dir.file("firmware.bin");
        raw = dir.file("raw.bin");
        writeFile(loader, bytesOf(100, 1));
        writeFile(firmware, bytesOf(3000, 2));
        writeFile(raw, "raw block");
    }
};

}  // namespace

TEST(Birdtool, HelpAndUsageErrors) {
    RunResult r = birdtool({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "Usage: birdtool pack -o FILE [options]\n"));
    EXPECT_TRUE(has(r.out, "--firmware ADDR:FILE[:FLAGS]"));
    EXPECT_TRUE(has(r.out, "birdtool info FILE"));
    r = birdtool({});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "Usage: birdtool"));
    r = birdtool({"frobnicate"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "unknown command 'frobnicate'"));
    r = birdtool({"info"});
    EXPECT_EQ(r.status, 1);
}

TEST(Birdtool, PackedPackageReadsTheSameFourWays) {
    Inputs in;
    TempDir home;
    const std::string pkg = in.dir.file("pkg.bird");
    RunResult r = birdtool({"pack",
                            "-o",
                            pkg,
                            "--loader",
                            "0x20000000:" + in.loader,
                            "--firmware",
                            "0x1000:" + in.firmware + ":3",
                            "--serial-block",
                            "0x1008:0x1100",
                            "--build",
                            "1234",
                            "--version",
                            "2.12.5",
                            "--serial",
                            "40f5849a",
                            "--model",
                            "ZV-HUB",
                            "--start",
                            "0x20000400:1",
                            "--block",
                            "9:" + in.raw + ":7"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "Wrote " + pkg + ": 6 blocks")) << r.out;

    // 1. The reader written here.
    Package p = readPackage(pkg);
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.header, std::string("bird\x01\x01", 6));
    EXPECT_LE(p.payload.size(), 8 * p.compressedSize);  // within what any reader inflates
    ASSERT_EQ(p.count, 6u);
    ASSERT_EQ(p.blocks.size(), 6u);
    EXPECT_EQ(p.blocks[0].type, 0u);
    EXPECT_EQ(p.blocks[0].flags, 0u);
    EXPECT_EQ(p.blocks[0].data, be32Text(0x20000000) + readFile(in.loader));
    EXPECT_EQ(p.blocks[1].type, 1u);
    EXPECT_EQ(p.blocks[1].flags, 3u);
    EXPECT_EQ(p.blocks[1].data, be32Text(0x1000) + readFile(in.firmware));
    EXPECT_EQ(p.blocks[2].type, 2u);
    EXPECT_EQ(p.blocks[2].data, be32Text(0x1008) + be32Text(0x1100));
    EXPECT_EQ(p.blocks[3].type, 4u);
    EXPECT_EQ(p.blocks[3].data, "1234            2.12.5          40F5849A        ZV-HUB          ");
    EXPECT_EQ(p.blocks[4].type, 5u);
    EXPECT_EQ(p.blocks[4].flags, 1u);
    EXPECT_EQ(p.blocks[4].data, be32Text(0x20000400));
    EXPECT_EQ(p.blocks[5].type, 9u);
    EXPECT_EQ(p.blocks[5].flags, 7u);
    EXPECT_EQ(p.blocks[5].data, "raw block");
    const unsigned crc =
        static_cast<unsigned>(crc32(0, reinterpret_cast<const Bytef*>(p.payload.data()),
                                    static_cast<uInt>(p.payload.size() - 4)));
    EXPECT_EQ(p.checksum, crc);

    // 2. birdtool info and 3. Updater -C list what the walk found.
    RunResult info = birdtool({"info", pkg});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "");
    RunResult check = updater(home, {"-C", "-f", pkg});
    ASSERT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.err, "");
    for (size_t i = 0; i < p.blocks.size(); ++i) {
        const std::string line = blockLine(static_cast<unsigned>(i), p.blocks[i]);
        EXPECT_TRUE(has(info.out, line)) << line << info.out;
        EXPECT_TRUE(has(check.out, line)) << line << check.out;
    }
    for (const char* line : {"Format version: 0x0101\n", "Blocks: 6\n", "Build: 1234\n",
                             "Version: 2.12.5\n", "Serial number: 40F5849A\n", "Model: ZV-HUB\n",
                             "Serial number location: 0x00001008, descriptor: 0x00001100\n",
                             "Loader start address: 0x20000400\n"}) {
        EXPECT_TRUE(has(info.out, line)) << line << info.out;
        EXPECT_TRUE(has(check.out, line)) << line << check.out;
    }
    char checksum[64];
    snprintf(checksum, sizeof checksum, "Checksum: 0x%08X (the CRC-32 of the payload)\n", crc);
    EXPECT_TRUE(has(info.out, checksum)) << info.out;
    EXPECT_TRUE(has(info.out, "Signature: \"bird\" (0x62697264)\n"));
    EXPECT_TRUE(has(info.out, "Payload: " + std::to_string(p.payload.size()) + " bytes\n"));
    EXPECT_TRUE(has(info.out, "Package is sound\n"));
    EXPECT_EQ(firstLine(check.out).rfind("Updater (Version: ", 0), 0u);
    EXPECT_TRUE(has(check.out, "Checking BIRD file " + pkg + "\n"));
    EXPECT_TRUE(has(check.out, "BIRD file " + pkg + " is sound\n"));
}

TEST(Birdtool, HighlyCompressibleImagesStayWithinTheReadersBound) {
    Inputs in;
    TempDir home;
    writeFile(in.firmware, std::string(2 << 20, '\xFF'));  // erased flash compresses ~1000:1
    const std::string pkg = in.dir.file("pad.bird");
    RunResult r = birdtool({"pack", "-o", pkg, "--firmware", "0:" + in.firmware, "--build", "7",
                            "--version", "1.0.0", "--serial", "DEADDEAD", "--model", "M"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "Huffman")) << r.out;
    Package p = readPackage(pkg);
    ASSERT_EQ(p.error, "");
    EXPECT_LE(p.payload.size(), 8 * p.compressedSize);
    EXPECT_EQ(p.blocks[0].data.size(), (2u << 20) + 4);
    EXPECT_EQ(birdtool({"info", pkg}).status, 0);
    EXPECT_EQ(updater(home, {"-C", "-f", pkg}).status, 0);
}

TEST(Birdtool, PackRefusesBadCommandLines) {
    Inputs in;
    const std::string out = in.dir.file("out.bird");
    const std::vector<std::string> info = {"--build",  "1", "--version", "1.0",
                                           "--serial", "1", "--model",   "M"};
    auto pack = [&](std::vector<std::string> args, bool withInfo = true) {
        args.insert(args.begin(), "pack");
        if (withInfo) args.insert(args.end(), info.begin(), info.end());
        return birdtool(args);
    };
    struct Case {
        std::vector<std::string> args;
        bool withInfo;
        std::string err;
    } cases[] = {
        {{"--firmware", "0:" + in.firmware}, true, "pack needs -o FILE"},
        {{"-o", out, "--firmware", "0:" + in.firmware},
         false,
         "needs --build, --version, --serial and --model"},
        {{"-o", out, "--firmware", "0:" + in.firmware, "--no-build-info"},
         true,
         "--no-build-info cannot go with"},
        {{"-o", out, "--firmware", "0:" + in.firmware + ":8"}, true, "expected ADDR:FILE[:FLAGS]"},
        {{"-o", out, "--firmware", "zz:" + in.firmware}, true, "expected ADDR:FILE[:FLAGS]"},
        {{"-o", out, "--firmware", "0x100000000:" + in.firmware},
         true,
         "expected ADDR:FILE[:FLAGS]"},
        {{"-o", out, "--firmware", in.firmware}, true, "expected ADDR:FILE[:FLAGS]"},
        {{"-o", out, "--serial-block", "1"}, true, "expected SN:DESC[:FLAGS]"},
        {{"-o", out, "--start", "x"}, true, "expected ADDR[:FLAGS]"},
        {{"-o", out, "--block", "32:" + in.raw}, true, "TYPE 0 to 31"},
        {{"-o", out, "--model", "SEVENTEEN-CHARS-X"}, true, "--model needs"},
        {{"-o", out, "--frobnicate", "1"}, true, "unknown pack option '--frobnicate'"},
        {{"-o", out, "--firmware"}, true, ""},
        {{"-o", out, "--firmware", "0:" + in.dir.file("missing.bin")}, true, "cannot read"},
    };
    for (const Case& c : cases) {
        RunResult r = pack(c.args, c.withInfo);
        EXPECT_EQ(r.status, 1) << testing::PrintToString(c.args) << r.out;
        EXPECT_TRUE(has(r.err, c.err)) << testing::PrintToString(c.args) << "\n" << r.err;
    }
    RunResult v = birdtool({"pack", "-o", out, "--build", "1", "--version", "1234567890123456",
                            "--serial", "1", "--model", "M"});
    EXPECT_EQ(v.status, 1);
    EXPECT_TRUE(has(v.err, "--version needs")) << v.err;
    EXPECT_FALSE(fs::exists(out));
}

TEST(Birdtool, PackReplacesAnExistingFileOnlyWhenItSucceeds) {
    Inputs in;
    const std::string pkg = in.dir.file("pkg.bird");
    writeFile(pkg, "old content");
    const std::vector<std::string> info = {"--build",  "2", "--version", "1.0",
                                           "--serial", "1", "--model",   "M"};
    std::vector<std::string> failing = {"pack", "-o", pkg, "--firmware",
                                        "0:" + in.dir.file("missing.bin")};
    failing.insert(failing.end(), info.begin(), info.end());
    EXPECT_EQ(birdtool(failing).status, 1);
    EXPECT_EQ(readFile(pkg), "old content");

    std::vector<std::string> good = {"pack", "-o", pkg, "--firmware", "0:" + in.firmware};
    good.insert(good.end(), info.begin(), info.end());
    ASSERT_EQ(birdtool(good).status, 0);
    EXPECT_EQ(readPackage(pkg).error, "");
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(in.dir.path()))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"loader.bin", "firmware.bin", "raw.bin", "pkg.bird"}));

    // The output names a directory: refused, the directory stays.
    ASSERT_EQ(mkdir(in.dir.file("adir").c_str(), 0755), 0);
    good[2] = in.dir.file("adir");
    RunResult r = birdtool(good);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "cannot write")) << r.err;
    EXPECT_TRUE(fs::is_directory(in.dir.file("adir")));
}

TEST(Birdtool, DamagedPackagesAreReported) {
    Inputs in;
    TempDir home;
    const std::string pkg = in.dir.file("pkg.bird");
    ASSERT_EQ(birdtool({"pack", "-o", pkg, "--firmware", "0x1000:" + in.firmware, "--build", "5",
                        "--version", "1.2.3", "--serial", "1", "--model", "M"})
                  .status,
              0);
    const std::string good = readFile(pkg);

    // Truncated: neither can load it.
    const std::string cut = in.dir.file("cut.bird");
    writeFile(cut, good.substr(0, good.size() / 2));
    RunResult info = birdtool({"info", cut});
    EXPECT_EQ(info.status, 1);
    EXPECT_TRUE(has(info.err, "birdtool: problem: ")) << info.err;
    EXPECT_TRUE(has(info.err, "cannot be loaded")) << info.err;
    RunResult check = updater(home, {"-C", "-f", cut});
    EXPECT_EQ(check.status, 1);
    EXPECT_TRUE(has(check.err, "BIRD file " + cut + " could not be loaded: ")) << check.err;

    // A payload whose count lies: loads, lists its block, and is damaged.
    Package p = readPackage(pkg);
    std::string payload = p.payload;
    payload[3] = 3;  // count 1 -> 3
    uLongf length = compressBound(payload.size());
    std::string z(length, '\0');
    ASSERT_EQ(compress(reinterpret_cast<Bytef*>(z.data()), &length,
                       reinterpret_cast<const Bytef*>(payload.data()), payload.size()),
              Z_OK);
    z.resize(length);
    const std::string liar = in.dir.file("liar.bird");
    writeFile(liar, good.substr(0, 6) + z);
    info = birdtool({"info", liar});
    EXPECT_EQ(info.status, 1);
    EXPECT_TRUE(has(info.out, "Blocks: 2 (the payload reports 3)\n")) << info.out;
    EXPECT_TRUE(has(info.err, "birdtool: problem: the payload reports 3 blocks but holds 2\n"))
        << info.err;
    check = updater(home, {"-C", "-f", liar});
    EXPECT_EQ(check.status, 1);
    EXPECT_TRUE(has(check.out, "Blocks: 2 (the file reports 3)\n")) << check.out;
    EXPECT_TRUE(has(check.out, blockLine(0, p.blocks[0]))) << check.out;
    EXPECT_TRUE(has(check.err, "Problem: the payload reports 3 blocks but holds 2\n")) << check.err;
    EXPECT_TRUE(has(check.err, "BIRD file " + liar + " is damaged\n")) << check.err;

    // No build information: not usable by the updater.
    const std::string bare = in.dir.file("bare.bird");
    ASSERT_EQ(
        birdtool({"pack", "-o", bare, "--firmware", "0:" + in.firmware, "--no-build-info"}).status,
        0);
    info = birdtool({"info", bare});
    EXPECT_EQ(info.status, 1);
    EXPECT_TRUE(has(info.out, "Build information: none\n"));
    EXPECT_TRUE(has(info.err, "no usable build information")) << info.err;
    EXPECT_EQ(updater(home, {"-C", "-f", bare}).status, 1);

    // A wrong signature.
    const std::string sig = in.dir.file("sig.bird");
    writeFile(sig, "BIRD" + good.substr(4));
    EXPECT_EQ(birdtool({"info", sig}).status, 1);
    check = updater(home, {"-C", "-f", sig});
    EXPECT_EQ(check.status, 1);
    EXPECT_TRUE(has(check.err, "not a BIRD header")) << check.err;

    // Not there at all.
    EXPECT_EQ(birdtool({"info", in.dir.file("none.bird")}).status, 1);
    check = updater(home, {"-C", "-f", in.dir.file("none.bird")});
    EXPECT_EQ(check.status, 1);
    EXPECT_TRUE(has(check.err, "does not exist")) << check.err;
}

TEST(UpdaterCheck, NeedsAFile) {
    TempDir home;
    RunResult r = updater(home, {"-C"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "-C must name the BIRD file to check with -f FILE\n");
    EXPECT_EQ(r.out, firstLine(r.out) + "\n");
}

TEST(UpdaterInfo, EmptyStoreShowsNothingAndSucceeds) {
    TempDir home;
    RunResult r = updater(home, {"-I"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, firstLine(r.out) + "\n");
    EXPECT_TRUE(fs::is_directory(home.file("updater")));

    r = updater(home, {"-I", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "The store at " + home.file("updater") + " holds nothing for device 40F5849A\n");
}

TEST(UpdaterInfo, ListsAndShowsStoredDevices) {
    TempDir home;
    Inputs in;
    const std::string root = home.file("updater");
    fs::create_directories(root + "/40F5849A");
    fs::create_directories(root + "/00012AB4");
    fs::create_directories(root + "/12345678.bak");
    writeFile(root + "/12345678.bak/.settings", "LATEST_DOWNLOAD=1.bird\n");
    writeFile(root + "/40F5849A/.settings",
              "CREATED_TIME=Tue Dec  8 10:00:00 2026\nLAST_DOWNLOAD_DATE=Wed Dec  9 12:58:13 2026\n"
              "LAST_TRANSFER_DATE=Thu Dec 10 08:00:00 "
              "2026\nLATEST_DOWNLOAD=1234.bird\nLATEST_TRANSFER=1234.bird\n");
    ASSERT_EQ(birdtool({"pack", "-o", root + "/40F5849A/1234.bird", "--firmware",
                        "0:" + in.firmware, "--build", "1234", "--version", "2.12.5", "--serial",
                        "40F5849A", "--model", "ZV-HUB"})
                  .status,
              0);
    writeFile(root + "/40F5849A/notes", "not a package");

    RunResult r = updater(home, {"-I"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
              "Devices in the store at " + root +
                  ":\n"
                  "  00012AB4  latest download: none  latest transfer: none\n"
                  "  40F5849A  latest download: 1234.bird (Wed Dec  9 12:58:13 2026)  latest "
                  "transfer: 1234.bird "
                  "(Thu Dec 10 08:00:00 2026)\n");
    EXPECT_FALSE(fs::exists(root + "/00012AB4/.settings"));  // viewing writes nothing

    r = updater(home, {"-I", "-d", "0x40f5849a"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
              "Device 40F5849A (" + root +
                  "/40F5849A)\n"
                  "Attributes:\n"
                  "  CREATED_TIME = Tue Dec  8 10:00:00 2026\n"
                  "  LAST_DOWNLOAD_DATE = Wed Dec  9 12:58:13 2026\n"
                  "  LAST_TRANSFER_DATE = Thu Dec 10 08:00:00 2026\n"
                  "  LATEST_DOWNLOAD = 1234.bird\n"
                  "  LATEST_TRANSFER = 1234.bird\n"
                  "Local builds:\n"
                  "  notes (not a BIRD file)\n"
                  "  1234.bird build 1234, version 2.12.5, model ZV-HUB\n");

    r = updater(home, {"-I", "-d", "00012AB4"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "Attributes: none\nLocal builds: none\n")) << r.out;
    EXPECT_FALSE(fs::exists(root + "/00012AB4/.settings"));

    // A directory whose name merely contains the serial text is not the device.
    r = updater(home, {"-I", "-d", "12345678"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "The store at " + root + " holds nothing for device 12345678\n");
}
