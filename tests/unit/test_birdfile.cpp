// BirdFile over packages built in the test: good files, every kind
// of damage a hostile file can bring (these run under the sanitizers too),
// serial-number patching and descrambling against vectors worked out by hand
// from the algorithm text.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdParser.h"
#include "Log.h"
#include "bird_builder.h"
#include "log_capture.h"
#include "tempdir.h"

using namespace testsupport;

namespace {

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

std::string hex(const uint8_t* p, size_t n) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        out += buf;
    }
    return out;
}

// A package with one of everything, in file order: loader, firmware (flags
// 2), a second firmware, serial-number locations, build information, start
// address, an unknown type 3 block.
std::vector<RawBlock> fullBlocks() {
    return {imageBlock(0, 0x20000000, pattern(16, 0x10)),
            imageBlock(1, 0x00001000, pattern(32, 0x40), 2),
            imageBlock(1, 0x00002000, pattern(8, 0x80)),
            serialBlock(0x1008, 0x1010),
            buildInfoBlock("1234", "2.12.5", "40F5849A", "ZV-HUB"),
            startBlock(0x20000400),
            RawBlock{3, Bytes{1, 2, 3}}};
}

struct Fixture {
    TempDir dir;
    int n = 0;
    std::string write(const Bytes& fileBytes) {
        std::string path = dir.file("p" + std::to_string(n++) + ".bird");
        writeFile(path, asString(fileBytes));
        return path;
    }
    std::string writePayload(const std::vector<RawBlock>& blocks, long long count = -1) {
        return write(makeBirdFile(makePayload(blocks, count)));
    }
};

// A payload in a heap block of exactly its size, so that any read past it is
// caught by AddressSanitizer.
struct ExactBuffer {
    std::unique_ptr<unsigned char[]> data;
    size_t size;
    explicit ExactBuffer(const Bytes& b)
        : data(new unsigned char[b.size() ? b.size() : 1]), size(b.size()) {
        if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
    }
};

}  // namespace

// --- Good packages -----------------------------------------------------------

TEST(BirdFile, DefaultIsEmpty) {
    BirdFile b;
    EXPECT_EQ(b.Path(), "");
    EXPECT_EQ(b.BlockCount(), 0u);
    EXPECT_TRUE(b.Blocks().empty());
    EXPECT_EQ(b.Signature(), 0u);
    EXPECT_EQ(b.Version(), 0u);
    EXPECT_EQ(b.Checksum(), 0u);
    EXPECT_EQ(b.PayloadSize(), 0u);
    EXPECT_FALSE(b.HasSerialNumberBlock());
    EXPECT_EQ(b.GetBuild(), 0u);
    EXPECT_EQ(b.GetVersion(), "");
    EXPECT_EQ(b.GetSerialNumber(), 0u);
    EXPECT_FALSE(b.ValidateModel(""));
    EXPECT_FALSE(b.FindSerialNumberOffsets());
    EXPECT_FALSE(b.Load());  // no path
}

TEST(BirdFile, LoadsEveryBlockInFileOrder) {
    Fixture fx;
    const std::string path = fx.writePayload(fullBlocks());
    BirdFile b(path.c_str());
    EXPECT_EQ(b.Path(), path);
    EXPECT_EQ(b.Signature(), 0x62697264u);
    EXPECT_EQ(b.Version(), 0x0101u);
    EXPECT_EQ(b.Checksum(), 0x12345678u);
    EXPECT_EQ(b.BlockCount(), 7u);
    EXPECT_EQ(b.ReportedBlockCount(), 7u);
    EXPECT_TRUE(b.StructureOk()) << b.StructureProblems().front();
    EXPECT_TRUE(b.PackageProblems().empty());

    const auto& blocks = b.Blocks();
    ASSERT_EQ(blocks.size(), 7u);
    const uint8_t types[] = {0, 1, 1, 2, 4, 5, 3};
    const uint8_t flags[] = {0, 2, 0, 0, 0, 0, 0};
    const uint32_t lengths[] = {20, 36, 12, 8, 64, 4, 3};
    const uint32_t addresses[] = {0x20000000, 0x1000, 0x2000, 0, 0, 0, 0};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(blocks[i].type, types[i]) << i;
        EXPECT_EQ(blocks[i].flags, flags[i]) << i;
        EXPECT_EQ(blocks[i].length, lengths[i]) << i;
        EXPECT_EQ(blocks[i].address, addresses[i]) << i;
        ASSERT_NE(blocks[i].data, nullptr);
        EXPECT_GE(blocks[i].data, b.Payload());
        EXPECT_LE(blocks[i].data + blocks[i].length, b.Payload() + b.PayloadSize());
    }
    // Data starts with the load address for images.
    EXPECT_EQ(hex(blocks[1].data, 6), "00 00 10 00 40 47");
    // The payload: count, 7 block headers and their data, checksum.
    EXPECT_EQ(b.PayloadSize(), 4u + 7 * 5 + (20 + 36 + 12 + 8 + 64 + 4 + 3) + 4);

    std::vector<BirdBlock> firmware = b.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 2u);
    EXPECT_EQ(firmware[0].address, 0x1000u);
    EXPECT_EQ(firmware[1].address, 0x2000u);
    EXPECT_EQ(b.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(3)).size(), 1u);
    EXPECT_TRUE(b.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(9)).empty());

    EXPECT_EQ(b.GetBuild(), 1234u);
    EXPECT_EQ(b.GetVersion(), "2.12.5");
    EXPECT_EQ(b.GetSerialNumber(), 0x40F5849Au);
    EXPECT_EQ(b.GetModel(), "ZV-HUB");
    EXPECT_TRUE(b.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(b.ValidateSerialNumber(0x40F5849B));
    EXPECT_TRUE(b.HasSerialNumberBlock());
    EXPECT_EQ(b.SerialNumberAddress(), 0x1008u);
    EXPECT_EQ(b.DescriptorAddress(), 0x1010u);
    uint32_t start = 0;
    EXPECT_TRUE(b.GetStartAddress(&start));
    EXPECT_EQ(start, 0x20000400u);
}

TEST(BirdFile, LoadLogsItsWalk) {
    Fixture fx;
    const std::string path = fx.writePayload(fullBlocks());
    LogCapture log(DEBUG_BirdFile);
    BirdFile b(path.c_str());
    const std::string t = log.text();
    for (const std::string& line :
         {"BIRDFILE: Loading File [" + path + "]\n",
          std::string("BIRDFILE:\t\t File reports 7 blocks\n"),
          std::string("BIRDFILE: Bird file objects:\n"),
          std::string("BIRDFILE: \t\tType Flags Length\n"),
          std::string("BIRDFILE:\t\t 01   02   36\n"), std::string("BIRDFILE:\t\t 04   00   64\n"),
          std::string("BIRDFILE:\t\t \t[1234            ]\n"),
          std::string("BIRDFILE:\t\t \t[ZV-HUB          ]\n"),
          std::string("BIRDFILE:\t\t File checksum 12345678\n"),
          std::string("BIRDFILE: Offsets: Serial number: 4104, Descriptor: 4112\n")}) {
        EXPECT_NE(t.find(line), std::string::npos) << line << "\n--- log:\n" << t;
    }
    EXPECT_EQ(t.find("mismatch"), std::string::npos);
}

TEST(BirdFile, BuildInformationFields) {
    Fixture fx;
    BirdFile b(fx.writePayload({buildInfoBlock("0001234", "2.12.5", "0x1F", "ZV-HUB-2")}).c_str());
    EXPECT_EQ(b.GetBuild(), 1234u);
    EXPECT_EQ(b.GetVersion(), "2.12.5");
    EXPECT_EQ(b.GetSerialNumber(), 0x1Fu);
    // The version is bytes 16-30: a 16-character text loses its last one.
    BirdFile c(fx.writePayload({buildInfoBlock("12x", "123456789ABCDEFG", "", "M")}).c_str());
    EXPECT_EQ(c.GetBuild(), 12u);
    EXPECT_EQ(c.GetVersion(), "123456789ABCDEF");
    EXPECT_EQ(c.GetSerialNumber(), 0u);
    // Only the first type 4 block counts.
    BirdFile d(fx.writePayload({buildInfoBlock("1", "a", "1", "FIRST"),
                                buildInfoBlock("2", "b", "2", "SECOND")})
                   .c_str());
    EXPECT_EQ(d.GetBuild(), 1u);
    EXPECT_EQ(d.GetModel(), "FIRST");
}

TEST(BirdFile, ValidateModelComparesTheGivenTextsLength) {
    Fixture fx;
    BirdFile b(fx.writePayload({buildInfoBlock("1", "1.0.0", "0", "ZV-HUB")}).c_str());
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(b.ValidateModel("ZV-HUB"));
    EXPECT_TRUE(b.ValidateModel("ZV-H"));  // a prefix matches
    EXPECT_TRUE(b.ValidateModel(""));
    EXPECT_FALSE(b.ValidateModel("ZV-HUB2"));  // one character more does not
    EXPECT_FALSE(b.ValidateModel("zv-hub"));
    EXPECT_FALSE(b.ValidateModel(nullptr));
    EXPECT_NE(log.text().find("Model matches model number ([ZV-HUB] == [ZV-H])\n"),
              std::string::npos)
        << log.text();

    BirdFile none(fx.writePayload({imageBlock(1, 0, Bytes(4))}).c_str());
    EXPECT_FALSE(none.ValidateModel(""));
    EXPECT_EQ(none.GetBuild(), 0u);
    EXPECT_EQ(none.GetVersion(), "");
    EXPECT_EQ(none.GetSerialNumber(), 0u);
}

TEST(BirdFile, AFileWithoutSerialBlockHasNoLocations) {
    Fixture fx;
    BirdFile b(fx.writePayload({imageBlock(1, 0x1000, Bytes(16))}).c_str());
    EXPECT_FALSE(b.HasSerialNumberBlock());
    EXPECT_EQ(b.SerialNumberAddress(), 0u);
    EXPECT_EQ(b.DescriptorAddress(), 0u);
    EXPECT_FALSE(b.FindSerialNumberOffsets());
    EXPECT_FALSE(b.ReplaceSerialNumber(0x12345678));
    uint32_t start = 7;
    EXPECT_FALSE(b.GetStartAddress(&start));
    EXPECT_EQ(start, 7u);
}

TEST(BirdFile, MovingKeepsTheBlocksValid) {
    Fixture fx;
    BirdFile a(fx.writePayload(fullBlocks()).c_str());
    const unsigned char* data = a.Blocks()[1].data;
    BirdFile b(std::move(a));
    EXPECT_EQ(b.Blocks()[1].data, data);
    EXPECT_EQ(hex(b.Blocks()[1].data, 4), "00 00 10 00");
    EXPECT_EQ(a.BlockCount(), 0u);
    EXPECT_EQ(a.Path(), "");
    EXPECT_EQ(a.Payload(), nullptr);
    BirdFile c;
    c = std::move(b);
    EXPECT_EQ(c.GetBuild(), 1234u);
    EXPECT_EQ(c.Blocks()[1].data, data);
}

// --- Header ------------------------------------------------------------------

TEST(BirdFile, VerifyFileChecksTheHeaderOnly) {
    Fixture fx;
    const Bytes payload = makePayload({imageBlock(1, 0, Bytes(4))});
    EXPECT_TRUE(BirdFile::VerifyFile(fx.write(makeBirdFile(payload)).c_str()));
    EXPECT_TRUE(BirdFile::VerifyFile(fx.write(makeBirdFile(payload, 0x02, 0x07)).c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(fx.write(makeBirdFile(payload, 0x00, 0x01)).c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(fx.write(makeBirdFile(payload, 0x01, 0x00)).c_str()));
    const std::string badSig = fx.write(makeBirdFile(payload, 1, 1, "BIRD"));
    EXPECT_FALSE(BirdFile::VerifyFile(badSig.c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(fx.write(Bytes{'b', 'i', 'r', 'd', 1}).c_str()));  // 5 bytes
    EXPECT_TRUE(BirdFile::VerifyFile(fx.write(Bytes{'b', 'i', 'r', 'd', 1, 1}).c_str()));
    LogCapture log(DEBUG_BirdFile);
    EXPECT_FALSE(BirdFile::VerifyFile(fx.dir.file("missing").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(fx.dir.path().c_str()));  // a directory
    EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
    EXPECT_NE(log.text().find("BIRDFILE: Error - cannot open bird file: '" +
                              fx.dir.file("missing") + "'\n"),
              std::string::npos);

    // Load ignores the header and still inflates the rest.
    BirdFile b;
    EXPECT_TRUE(b.Load(badSig.c_str()));
    EXPECT_EQ(b.Signature(), 0x42495244u);
    EXPECT_EQ(b.BlockCount(), 1u);
    ASSERT_FALSE(b.PackageProblems().empty());
    EXPECT_NE(b.PackageProblems().front().find("not a BIRD header"), std::string::npos);
}

TEST(BirdFile, MissingOrShortFilesFailToLoad) {
    Fixture fx;
    LogCapture log(DEBUG_BirdFile);
    const std::string missing = fx.dir.file("missing.bird");
    EXPECT_THROW(BirdFile b(missing.c_str()), std::runtime_error);
    try {
        BirdFile b(missing.c_str());
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
    EXPECT_NE(log.text().find("BIRDFILE: BIRD file not found [" + missing + "]\n"),
              std::string::npos);
    EXPECT_THROW(BirdFile b(fx.dir.path().c_str()), std::runtime_error);  // a directory is no file
    for (size_t n = 0; n <= 6; ++n) {
        Bytes head = {'b', 'i', 'r', 'd', 1, 1};
        head.resize(n);
        BirdFile b;
        EXPECT_FALSE(b.Load(fx.write(head).c_str())) << n;
    }
}

// --- Damaged and hostile packages -----------------------------------------------

TEST(BirdFileHostile, EveryTruncationOfTheFileIsRefused) {
    Fixture fx;
    const Bytes good = makeBirdFile(makePayload(fullBlocks()));
    for (size_t n = 0; n < good.size(); ++n) {
        BirdFile b;
        EXPECT_FALSE(
            b.Load(fx.write(Bytes(good.begin(), good.begin() + static_cast<long>(n))).c_str()))
            << n;
        EXPECT_FALSE(b.StructureProblems().empty()) << n;
        EXPECT_TRUE(b.Blocks().empty()) << n;
    }
}

TEST(BirdFileHostile, EveryTruncationOfThePayloadStaysInBounds) {
    Fixture fx;
    const Bytes payload = makePayload(fullBlocks());
    for (size_t n = 0; n < payload.size(); ++n) {
        BirdFile b;
        const std::string path =
            fx.write(makeBirdFile(Bytes(payload.begin(), payload.begin() + static_cast<long>(n))));
        b.Load(path.c_str());
        EXPECT_FALSE(b.StructureOk()) << n;
        EXPECT_FALSE(b.PackageProblems().empty()) << n;
        for (const BirdBlock& block : b.Blocks())
            EXPECT_LE(block.data + block.length, b.Payload() + b.PayloadSize()) << n;
        // Every operation keeps to what was parsed.
        b.ReplaceSerialNumber(0x40F5849A);
        const unsigned key[4] = {1, 2, 3, 4};
        b.DecodeFirmwareBlocks(key);
        b.ReplaceVectorChecksum();
        unsigned char pat[] = {0x40, 0x47};
        b.ValidateData(pat, 2);
        b.GetBuild();
        b.GetVersion();
        b.GetModel();
    }
}

TEST(BirdFileHostile, NotAZlibStream) {
    Fixture fx;
    Bytes file = {'b', 'i', 'r', 'd', 1, 1};
    for (int i = 0; i < 100; ++i) file.push_back(static_cast<uint8_t>(i * 37));
    LogCapture log(DEBUG_BirdFile);
    BirdFile b;
    EXPECT_FALSE(b.Load(fx.write(file).c_str()));
    EXPECT_NE(log.text().find("BIRDFILE: Error (-3) decompressing bird file.\n"), std::string::npos)
        << log.text();
    EXPECT_EQ(b.PayloadSize(), 0u);
}

TEST(BirdFileHostile, APayloadOverEightTimesItsCompressedSizeIsRefused) {
    Fixture fx;
    // One MiB of zeros compresses about a thousand to one.
    const Bytes payload = makePayload({imageBlock(1, 0, Bytes(1 << 20, 0))});
    LogCapture log(DEBUG_BirdFile);
    BirdFile b;
    EXPECT_FALSE(b.Load(fx.write(makeBirdFile(payload)).c_str()));
    EXPECT_NE(log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"),
              std::string::npos);
    EXPECT_EQ(b.PayloadSize(), 0u);
    EXPECT_THROW(BirdFile c(fx.write(makeBirdFile(payload)).c_str()), std::runtime_error);
}

TEST(BirdFileHostile, AZlibBombIsRefusedWithoutInflatingIt) {
    Fixture fx;
    // 256 MiB of zeros, deflated in slices so the test never holds them.
    z_stream zs{};
    ASSERT_EQ(deflateInit(&zs, 1), Z_OK);
    Bytes zeros(1 << 20, 0), out(1 << 16), compressed;
    for (int slice = 0; slice < 256; ++slice) {
        zs.next_in = zeros.data();
        zs.avail_in = static_cast<uInt>(zeros.size());
        int flush = slice == 255 ? Z_FINISH : Z_NO_FLUSH;
        do {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            deflate(&zs, flush);
            compressed.insert(compressed.end(), out.data(),
                              out.data() + (out.size() - zs.avail_out));
        } while (zs.avail_out == 0);
    }
    deflateEnd(&zs);
    Bytes file = {'b', 'i', 'r', 'd', 1, 1};
    file.insert(file.end(), compressed.begin(), compressed.end());
    BirdFile b;
    EXPECT_FALSE(b.Load(fx.write(file).c_str()));
    EXPECT_EQ(b.PayloadSize(), 0u);
}

TEST(BirdFileHostile, APayloadOverTheSizeLimitIsRefusedEvenWithinTheRatio) {
    Fixture fx;
    // 65 MiB of four-bit noise: compresses about two to one, well inside the
    // format's 8:1, but past bird::kMaxPayloadSize.
    const size_t imageSize = bird::kMaxPayloadSize + (1u << 20);
    Bytes payload;
    payload.reserve(imageSize + 64);
    appendU32be(payload, 1);
    payload.push_back(1);
    appendU32be(payload, static_cast<uint32_t>(imageSize + 4));
    appendU32be(payload, 0);
    uint32_t x = 12345;
    size_t at = payload.size();
    payload.resize(at + imageSize);
    uint8_t* out = payload.data() + at;
    for (size_t i = 0; i < imageSize; ++i) {
        x = x * 1664525u + 1013904223u;
        out[i] = static_cast<uint8_t>(x >> 28);
    }
    appendU32be(payload, 0);
    Bytes file = {'b', 'i', 'r', 'd', 1, 1};
    Bytes z = zlibCompress(payload, 1);
    ASSERT_LT(payload.size(), 8 * z.size());
    file.insert(file.end(), z.begin(), z.end());
    Bytes().swap(payload);
    LogCapture log(DEBUG_BirdFile);
    BirdFile b;
    EXPECT_FALSE(b.Load(fx.write(file).c_str()));
    EXPECT_NE(log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"),
              std::string::npos);
    ASSERT_FALSE(b.StructureProblems().empty());
    EXPECT_NE(b.StructureProblems().front().find("64 MiB"), std::string::npos);
}

TEST(BirdFileHostile, DeclaredCountThreeWithTwoBlocksLoadsTwo) {
    Fixture fx;
    LogCapture log(DEBUG_BirdFile);
    BirdFile b;
    EXPECT_TRUE(
        b.Load(fx.writePayload({imageBlock(1, 0, Bytes(4)), buildInfoBlock("1", "1", "1", "M")}, 3)
                   .c_str()));
    EXPECT_EQ(b.BlockCount(), 2u);
    EXPECT_EQ(b.ReportedBlockCount(), 3u);
    EXPECT_FALSE(b.StructureOk());
    EXPECT_NE(log.text().find("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"),
              std::string::npos);
    EXPECT_EQ(b.GetBuild(), 1u);  // the blocks read stay usable
}

TEST(BirdFileHostile, AHugeDeclaredCountAllocatesNothingForIt) {
    Fixture fx;
    BirdFile b;
    EXPECT_TRUE(b.Load(fx.writePayload({imageBlock(1, 0, Bytes(4))}, 0xFFFFFFFF).c_str()));
    EXPECT_EQ(b.BlockCount(), 1u);
    EXPECT_EQ(b.ReportedBlockCount(), 0xFFFFFFFFu);
    EXPECT_FALSE(b.StructureOk());
}

TEST(BirdFileHostile, ALyingBlockLengthEndsTheWalk) {
    Fixture fx;
    for (uint32_t lie : {0xFFFFFFFFu, 0x80000000u, 17u /* 1 byte into the checksum */, 20u}) {
        RawBlock liar = imageBlock(1, 0x1000, Bytes(12));  // 16 data bytes
        liar.lieLength = true;
        liar.length = lie;
        LogCapture log(DEBUG_BirdFile);
        BirdFile b;
        EXPECT_TRUE(b.Load(fx.writePayload({imageBlock(0, 0x20000000, Bytes(8)), liar}).c_str()))
            << lie;
        ASSERT_EQ(b.BlockCount(), 1u) << lie;
        EXPECT_EQ(b.Blocks()[0].type, 0);
        EXPECT_FALSE(b.StructureOk());
        EXPECT_NE(log.text().find("BIRDFILE: Block parsing mismatch in data size. ("),
                  std::string::npos)
            << log.text();
    }
}

TEST(BirdFileHostile, ABlockHeaderCutByTheChecksumEndsTheWalk) {
    Fixture fx;
    // Two stray bytes between the last block and the checksum.
    Bytes payload = makePayload({imageBlock(1, 0, Bytes(4))});
    payload.insert(payload.end() - 4, {0x01, 0x00});
    BirdFile b;
    EXPECT_TRUE(b.Load(fx.write(makeBirdFile(payload)).c_str()));
    EXPECT_EQ(b.BlockCount(), 1u);
    EXPECT_FALSE(b.StructureOk());
}

TEST(BirdFileHostile, BytesAfterTheChecksumAreAMismatch) {
    Fixture fx;
    Bytes payload = makePayload({imageBlock(1, 0, Bytes(4))});
    payload.insert(payload.end(), {0xAA, 0xBB, 0xCC});
    LogCapture log(DEBUG_BirdFile);
    BirdFile b;
    EXPECT_TRUE(b.Load(fx.write(makeBirdFile(payload)).c_str()));
    EXPECT_EQ(b.BlockCount(), 1u);
    EXPECT_FALSE(b.StructureOk());
    EXPECT_NE(
        log.text().find("BIRDFILE: Block parsing mismatch in data size. (3 bytes remaining)\n"),
        std::string::npos)
        << log.text();
}

TEST(BirdFileHostile, AnImageBlockTooShortForItsAddressEndsTheWalk) {
    Fixture fx;
    for (uint8_t type : {0, 1}) {
        for (size_t length = 0; length < 4; ++length) {
            BirdFile b;
            EXPECT_TRUE(b.Load(
                fx.writePayload({imageBlock(0, 0x100, Bytes(4, 0x11)),
                                 RawBlock{type, Bytes(length, 0x22)}, imageBlock(1, 0, Bytes(4))})
                    .c_str()));
            ASSERT_EQ(b.BlockCount(), 1u) << int(type) << " " << length;
            EXPECT_FALSE(b.StructureOk());
            const unsigned key[4] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
            EXPECT_TRUE(b.DecodeFirmwareBlocks(key));  // nothing to do, nothing touched
            EXPECT_EQ(hex(b.Blocks()[0].data, 8), "00 00 01 00 11 11 11 11");
        }
    }
}

TEST(BirdFileHostile, AShortBuildInformationBlockCountsAsAbsent) {
    Fixture fx;
    for (size_t length : {0u, 1u, 16u, 40u, 63u}) {
        RawBlock info = buildInfoBlock("1234", "2.12.5", "40F5849A", "ZV-HUB");
        info.data.resize(length);
        // Last block, right before the checksum: a read past its end would
        // run off the payload.
        BirdFile b;
        EXPECT_TRUE(b.Load(fx.writePayload({imageBlock(1, 0, Bytes(4)), info}).c_str()));
        ASSERT_EQ(b.BlockCount(), 2u);
        EXPECT_EQ(b.GetBuild(), 0u) << length;
        EXPECT_EQ(b.GetVersion(), "") << length;
        EXPECT_EQ(b.GetSerialNumber(), 0u) << length;
        EXPECT_EQ(b.GetModel(), "") << length;
        EXPECT_FALSE(b.ValidateModel("")) << length;
        EXPECT_FALSE(b.StructureOk());
        EXPECT_FALSE(b.PackageProblems().empty());
    }
}

TEST(BirdFileHostile, AShortSerialNumberBlockGivesNoLocations) {
    Fixture fx;
    for (size_t length : {0u, 4u, 7u}) {
        RawBlock serial = serialBlock(0x1008, 0x1010);
        serial.data.resize(length);
        BirdFile b;
        EXPECT_TRUE(
            b.Load(fx.writePayload({imageBlock(1, 0x1000, Bytes(64, 0xEE)), serial}).c_str()));
        EXPECT_TRUE(b.HasSerialNumberBlock()) << length;
        EXPECT_FALSE(b.FindSerialNumberOffsets()) << length;
        EXPECT_EQ(b.SerialNumberAddress(), 0u);
        EXPECT_EQ(b.DescriptorAddress(), 0u);
        EXPECT_FALSE(b.ReplaceSerialNumber(0x40F5849A));
        EXPECT_EQ(hex(b.Blocks()[0].data + 4 + 8, 4), "EE EE EE EE");
        EXPECT_FALSE(b.StructureOk());
    }
}

TEST(BirdFileHostile, AShortStartAddressBlockIsIgnored) {
    Fixture fx;
    BirdFile b;
    EXPECT_TRUE(
        b.Load(fx.writePayload({imageBlock(0, 0, Bytes(4)), RawBlock{5, Bytes{1, 2}}}).c_str()));
    EXPECT_FALSE(b.GetStartAddress(nullptr));
    EXPECT_FALSE(b.StructureOk());
}

TEST(BirdFileHostile, ScanBlocksOnShortPayloads) {
    const std::vector<Bytes> payloads = {{}, {0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1, 0, 0, 0}};
    for (const Bytes& p : payloads) {
        ExactBuffer buf(p);
        BirdFile b;
        EXPECT_FALSE(b.ScanBlocks(buf.data.get(), static_cast<unsigned>(buf.size))) << p.size();
        EXPECT_EQ(b.BlockCount(), 0u);
        EXPECT_FALSE(b.StructureOk());
    }
    // Count 0 and a checksum: a sound, empty payload (but no usable package).
    ExactBuffer empty(Bytes{0, 0, 0, 0, 1, 2, 3, 4});
    BirdFile b;
    EXPECT_TRUE(b.ScanBlocks(empty.data.get(), 8));
    EXPECT_EQ(b.Checksum(), 0x01020304u);
    EXPECT_TRUE(b.StructureOk());
    EXPECT_EQ(b.PackageProblems().size(), 3u);  // no header, no build information, no image
}

TEST(BirdFileHostile, AFloodOfEmptyBlocksIsCut) {
    std::vector<RawBlock> many(bird::kMaxBlocks + 10, RawBlock{3, {}});
    ExactBuffer buf(makePayload(many));
    BirdFile b;
    EXPECT_FALSE(b.ScanBlocks(buf.data.get(), static_cast<unsigned>(buf.size)));
    EXPECT_EQ(b.BlockCount(), bird::kMaxBlocks);
}

TEST(BirdFileHostile, RandomDamageNeverReadsOutsideThePayload) {
    const Bytes good = makePayload(fullBlocks());
    std::mt19937 rng(20261211);
    for (int round = 0; round < 3000; ++round) {
        Bytes p = good;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) p[rng() % p.size()] = static_cast<uint8_t>(rng());
        if (rng() % 4 == 0) p.resize(rng() % p.size());
        ExactBuffer buf(p);
        BirdFile b;
        b.ScanBlocks(buf.data.get(), static_cast<unsigned>(buf.size));
        b.FindSerialNumberOffsets();
        for (const BirdBlock& block : b.Blocks()) {
            ASSERT_GE(block.data, buf.data.get());
            ASSERT_LE(block.data + block.length, buf.data.get() + buf.size);
        }
        b.GetBuild();
        b.GetVersion();
        b.GetSerialNumber();
        b.ValidateModel("ZV");
        b.GetStartAddress(nullptr);
        b.ReplaceSerialNumber(0x40F5849A);
        const unsigned key[4] = {1, 2, 3, 4};
        b.DecodeFirmwareBlocks(key);
        b.ReplaceVectorChecksum();
        unsigned char pat[] = {0x47};
        b.ValidateData(pat, 1);
    }
}

// --- Serial-number patching ----------------------------------------------------

TEST(BirdFilePatch, WritesTheSerialWordAndTheDescriptorText) {
    Fixture fx;
    // Firmware at 0x1000 with a 64-byte image of 0xEE; the serial number 8
    // bytes in, the descriptor text 32 bytes in.
    BirdFile b(
        fx.writePayload({imageBlock(0, 0x1000, Bytes(64, 0x11)),
                         imageBlock(1, 0x1000, Bytes(64, 0xEE)), serialBlock(0x1008, 0x1020)})
            .c_str());
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(b.ReplaceSerialNumber(0x40F5849A));
    const unsigned char* image = b.Blocks()[1].data + 4;
    EXPECT_EQ(hex(image, 16),
              "EE EE EE EE EE EE EE EE 9A 84 F5 40 EE EE EE EE");  // little-endian word
    // "40F5849A" in the low bytes of 16-bit characters; the bytes between stay.
    EXPECT_EQ(hex(image + 32, 16), "34 EE 30 EE 46 EE 35 EE 38 EE 34 EE 39 EE 41 EE");
    EXPECT_EQ(hex(image + 48, 16), "EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE");
    EXPECT_NE(log.text().find("BIRDFILE: updating serial number from EEEEEEEE ==> 40F5849A\n"),
              std::string::npos);
    // Loader blocks are never patched.
    EXPECT_EQ(hex(b.Blocks()[0].data + 4 + 8, 4), "11 11 11 11");

    // Again with another number: the old one is read from the image.
    LogCapture again(DEBUG_BirdFile);
    EXPECT_TRUE(b.ReplaceSerialNumber(0xABCD));
    EXPECT_EQ(hex(image + 8, 4), "CD AB 00 00");
    EXPECT_EQ(hex(image + 32, 16), "30 EE 30 EE 30 EE 30 EE 41 EE 42 EE 43 EE 44 EE");
    EXPECT_NE(again.text().find("from 40F5849A ==> 0000ABCD\n"), std::string::npos);
}

TEST(BirdFilePatch, LocationsMustLieWhollyInsideTheImage) {
    Fixture fx;
    // Image of 64 bytes at 0x1000 covers 0x1000 up to 0x1040.
    auto load = [&](uint32_t s, uint32_t d) {
        return BirdFile(
            fx.writePayload({imageBlock(1, 0x1000, Bytes(64, 0xEE)), serialBlock(s, d)}).c_str());
    };
    {
        BirdFile b = load(0x103C, 0);  // the last word that fits
        EXPECT_TRUE(b.ReplaceSerialNumber(0x01020304));
        EXPECT_EQ(hex(b.Blocks()[0].data + 4 + 60, 4), "04 03 02 01");
    }
    {
        BirdFile b = load(0x103D, 0);  // one byte over: nothing written, still true
        EXPECT_TRUE(b.ReplaceSerialNumber(0x01020304));
        EXPECT_EQ(hex(b.Blocks()[0].data + 4 + 56, 8), "EE EE EE EE EE EE EE EE");
    }
    {
        BirdFile b = load(0x0FFF, 0);  // below the image
        EXPECT_TRUE(b.ReplaceSerialNumber(0x01020304));
        EXPECT_EQ(hex(b.Blocks()[0].data + 4, 4), "EE EE EE EE");
    }
    {
        BirdFile b = load(0, 0x1030);  // the last descriptor that fits
        EXPECT_TRUE(b.ReplaceSerialNumber(0x01020304));
        EXPECT_EQ(hex(b.Blocks()[0].data + 4 + 48, 16),
                  "30 EE 31 EE 30 EE 32 EE 30 EE 33 EE 30 EE 34 EE");
    }
    {
        BirdFile b = load(0, 0x1031);  // only a descriptor, outside: false
        EXPECT_FALSE(b.ReplaceSerialNumber(0x01020304));
    }
    {
        BirdFile b = load(0, 0);
        EXPECT_FALSE(b.ReplaceSerialNumber(0x01020304));
    }
}

TEST(BirdFilePatch, AddressesNearTheTopOfMemoryDoNotWrapAround) {
    Fixture fx;
    // The image covers 0xFFFFFF00 up to 0xFFFFFFF0. S + 4 and D + 16 pass
    // 2^32: in 32-bit arithmetic they would wrap to small numbers, "fit", and
    // be written past the image into the block after it.
    BirdFile b(fx.writePayload({imageBlock(1, 0xFFFFFF00, Bytes(0xF0, 0xEE)),
                                RawBlock{3, Bytes(64, 0x77)}, serialBlock(0xFFFFFFFE, 0xFFFFFFF8)})
                   .c_str());
    EXPECT_TRUE(b.ReplaceSerialNumber(0x40F5849A));  // S is set, so true; nothing fits
    EXPECT_EQ(hex(b.Blocks()[0].data + 4 + 0xE0, 16),
              "EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE");
    EXPECT_EQ(hex(b.Blocks()[1].data, 64), hex(Bytes(64, 0x77).data(), 64));
}

TEST(BirdFilePatch, EveryFirmwareBlockThatCoversTheAddressIsPatched) {
    Fixture fx;
    BirdFile b(fx.writePayload({imageBlock(1, 0x1000, Bytes(16, 0xEE)),
                                imageBlock(1, 0x2000, Bytes(16, 0xEE)),
                                imageBlock(1, 0x1000, Bytes(16, 0xEE)), serialBlock(0x1004, 0)})
                   .c_str());
    EXPECT_TRUE(b.ReplaceSerialNumber(0x11223344));
    EXPECT_EQ(hex(b.Blocks()[0].data + 8, 4), "44 33 22 11");
    EXPECT_EQ(hex(b.Blocks()[1].data + 8, 4), "EE EE EE EE");
    EXPECT_EQ(hex(b.Blocks()[2].data + 8, 4), "44 33 22 11");
}

// --- Descrambling ----------------------------------------------------------------

TEST(BirdFileDecode, KnownVectorsWorkedOutByHand) {
    Fixture fx;
    // Key words 01020304 05060708 090A0B0C 0D0E0F10 give the key bytes 01..10.
    // With stored bytes all zero, plain[i] = key[i mod 16] ^ plain[i-1]:
    //   01, 02^01=03, 03^03=00, 04^00=04, 05^04=01, 06^01=07, 07^07=00,
    //   08^00=08, 09^08=01, 0A^01=0B, 0B^0B=00, 0C^00=0C, 0D^0C=01,
    //   0E^01=0F, 0F^0F=00, 10^00=10, then the key wraps: 01^10=11, 02^11=13.
    // The second firmware block starts over (index 0, previous 0): 01, 03.
    BirdFile b(
        fx.writePayload({imageBlock(1, 0x1000, Bytes(18, 0)), imageBlock(0, 0x0, Bytes(4, 0)),
                         imageBlock(1, 0x2000, Bytes(2, 0))})
            .c_str());
    const unsigned key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    EXPECT_TRUE(b.DecodeFirmwareBlocks(key));
    EXPECT_EQ(hex(b.Blocks()[0].data, 4), "00 00 10 00");  // the address is not descrambled
    EXPECT_EQ(hex(b.Blocks()[0].data + 4, 18),
              "01 03 00 04 01 07 00 08 01 0B 00 0C 01 0F 00 10 11 13");
    EXPECT_EQ(hex(b.Blocks()[1].data + 4, 4), "00 00 00 00");  // loaders are left alone
    EXPECT_EQ(hex(b.Blocks()[2].data + 4, 2), "01 03");
}

TEST(BirdFileDecode, KeyBytesAreTakenMostSignificantFirst) {
    Fixture fx;
    // Key A0 B0 C0 D0 00...; stored FF 0F F0 AA 55:
    //   FF^A0^00=5F, 0F^B0^5F=E0, F0^C0^E0=D0, AA^D0^D0=AA, 55^00^AA=FF.
    BirdFile b(fx.writePayload({imageBlock(1, 0, Bytes{0xFF, 0x0F, 0xF0, 0xAA, 0x55})}).c_str());
    const unsigned key[4] = {0xA0B0C0D0, 0, 0, 0};
    EXPECT_TRUE(b.DecodeFirmwareBlocks(key));
    EXPECT_EQ(hex(b.Blocks()[0].data + 4, 5), "5F E0 D0 AA FF");
}

TEST(BirdFileDecode, InvertsTheScramblingAndIsNotItsOwnInverse) {
    Fixture fx;
    const unsigned keyWords[4] = {0xDEADBEEF, 0x01234567, 0x89ABCDEF, 0x0F1E2D3C};
    uint8_t key[16];
    for (int w = 0; w < 4; ++w)
        for (int i = 0; i < 4; ++i)
            key[4 * w + i] = static_cast<uint8_t>(keyWords[w] >> (24 - 8 * i));
    const Bytes plain = pattern(100, 3);
    // stored = plain XOR key[index] XOR previous plain byte
    Bytes stored(plain.size());
    uint8_t previous = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        stored[i] = static_cast<uint8_t>(plain[i] ^ key[i % 16] ^ previous);
        previous = plain[i];
    }
    BirdFile b(fx.writePayload({imageBlock(1, 0x8000, stored)}).c_str());
    b.DecodeFirmwareBlocks(keyWords);
    EXPECT_EQ(hex(b.Blocks()[0].data + 4, plain.size()), hex(plain.data(), plain.size()));
    b.DecodeFirmwareBlocks(keyWords);
    EXPECT_NE(hex(b.Blocks()[0].data + 4, plain.size()), hex(stored.data(), stored.size()));
    EXPECT_FALSE(b.DecodeFirmwareBlocks(nullptr));
}

// --- Vector checksum, data search, dump ---------------------------------------------

TEST(BirdFileVectors, ChecksumWordIsTheNegatedSum) {
    Fixture fx;
    // Words 0-7 (little-endian): 20001000 00000101 00000201 00000301 00000401
    // DEADBEEF 00000601 00000000. Sum of words 0-4 and 6: 20002005; its
    // negation: DFFFDFFB.
    Bytes image;
    for (uint32_t w : {0x20001000u, 0x101u, 0x201u, 0x301u, 0x401u, 0xDEADBEEFu, 0x601u, 0u})
        for (int i = 0; i < 4; ++i) image.push_back(static_cast<uint8_t>(w >> (8 * i)));
    BirdFile b(fx.writePayload({imageBlock(1, 0, image), imageBlock(1, 0x4000, image),
                                imageBlock(1, 0, Bytes(28, 1))})
                   .c_str());
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(b.ReplaceVectorChecksum());
    EXPECT_EQ(hex(b.Blocks()[0].data + 4 + 28, 4), "FB DF FF DF");
    EXPECT_EQ(hex(b.Blocks()[1].data + 4 + 28, 4), "00 00 00 00");  // not at address 0
    EXPECT_NE(log.text().find("BIRDFILE: updating vector checksum from 00000000 ==> DFFFDFFB\n"),
              std::string::npos);
}

TEST(BirdFileVectors, ValidateDataSearchesFirmwareData) {
    Fixture fx;
    Bytes image(40, 0);
    image[10] = 0xCA;
    image[11] = 0xFE;
    image[30] = 0xCA;
    image[31] = 0xFE;
    const std::string path =
        fx.writePayload({imageBlock(0, 0, Bytes{0xCA, 0xFE}), imageBlock(1, 0x100, image)});
    BirdFile b(path.c_str());
    LogCapture log(DEBUG_BirdFile);
    unsigned char cafe[] = {0xCA, 0xFE};
    EXPECT_TRUE(b.ValidateData(cafe, 2));
    // Positions count from the block's first data byte, the address included.
    EXPECT_EQ(log.text(), "BIRDFILE: looking for data pattern in [" + path +
                              "]\nFound data at 14\nFound data at 34\n\n");
    unsigned char none[] = {0xBE, 0xEF};
    EXPECT_FALSE(b.ValidateData(none, 2));
    Bytes longer(100, 0);
    EXPECT_FALSE(b.ValidateData(longer.data(), 100));
    EXPECT_FALSE(b.ValidateData(nullptr, 0));
}

TEST(BirdFileVectors, DumpBlocksPrintsHexAndText) {
    Fixture fx;
    Bytes data(51, 'a');
    const std::string path =
        fx.writePayload({RawBlock{5, Bytes{0x41, 0x42, 0x01, 0x7E}}, RawBlock{3, data}});
    BirdFile b(path.c_str());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(b.DumpBlocks(BirdFile::BLOCK_START_ADDRESS));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "BIRDFILE: BLOCK DUMP [" + path + "]\n \r\n000000: 41 42 01 7E  AB ~\n\n");
    testing::internal::CaptureStdout();
    b.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(3));
    std::string out = testing::internal::GetCapturedStdout();
    std::string row;
    for (int i = 0; i < 50; ++i) row += "61 ";
    EXPECT_EQ(out, "BIRDFILE: BLOCK DUMP [" + path + "]\n \r\n000000: " + row + " " +
                       std::string(50, 'a') + "\r\n000050: 61  a\n\n");
}
