#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "Log.h"
#include "LogCapture.h"
#include "RunInChild.h"
#include "TempDir.h"
#include "aDefs.h"

namespace {

class BirdFileTest : public ::testing::Test {
 protected:
  // Loads the bytes from a file; the log holds what loading said.
  bool Load(const ByteVec& bytes, BirdFile& bird) {
    std::string file = dir_ / "image.bird";
    FILE* f = fopen(file.c_str(), "wb");
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    bird.path = file;
    return bird.Load();
  }

  // A loaded image built by b; fails the test when it does not load.
  BirdFile Loaded(const BirdBuilder& b) {
    BirdFile bird;
    EXPECT_TRUE(Load(b.Bytes(), bird));
    return bird;
  }

  TempDir dir_;
  LogCapture log_{DEBUG_BirdFile};
};

ByteVec Pattern(size_t n, uint8_t seed) {
  ByteVec out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + seed);
  return out;
}

ByteVec PayloadOf(const BirdBlock& b) { return ByteVec(b.data, b.data + b.length); }

ByteVec BodyOf(const BirdFile& bird) { return ByteVec(bird.data.get(), bird.data.get() + bird.dataSize); }

uint32_t LE(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }

}  // namespace

TEST_F(BirdFileTest, BlocksAndDescriptorAsWritten) {
  BirdBuilder b;
  b.Loader(0x1000, Pattern(40, 1), 2)
      .Loader(0x2000, Pattern(9, 2), 0)
      .Firmware(0x8000, Pattern(300, 3), 5)
      .SerialOffsets(0x8010, 0x8040)
      .Descriptor(1234, "2.12.5", 0x40F5849A, "HubCore8")
      .StartAddress(0x20000000);
  BirdFile bird = Loaded(b);

  auto written = b.Blocks();
  ASSERT_EQ(bird.blocks.size(), written.size());
  EXPECT_EQ(bird.blockCount, written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    SCOPED_TRACE(i);
    const BirdBlock& got = bird.blocks[i];
    EXPECT_EQ(got.type, written[i].type());
    EXPECT_EQ(got.flags, written[i].flags());
    EXPECT_EQ(got.length, written[i].payload.size());
    EXPECT_EQ(got.address, got.type <= 1 ? written[i].address() : 0u);
    EXPECT_EQ(PayloadOf(got), written[i].payload);
  }
  EXPECT_EQ(bird.signature, 0x62697264u);  // "bird"
  EXPECT_EQ(bird.version, 0x0101u);
  EXPECT_TRUE(bird.hasSerialBlock);
  EXPECT_EQ(bird.serialAddress, 0x8010u);
  EXPECT_EQ(bird.descriptorAddress, 0x8040u);
  EXPECT_EQ(bird.GetBuild(), 1234u);
  EXPECT_EQ(bird.GetVersion(), "2.12.5");
  EXPECT_EQ(bird.GetSerialNumber(), 0x40F5849Au);
  EXPECT_TRUE(bird.ValidateSerialNumber(0x40F5849A));
  EXPECT_TRUE(bird.ValidateModel("HubCore8"));
  EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_LOADER).size(), 2u);
  EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_START_ADDRESS).size(), 1u);
  EXPECT_TRUE(bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(3)).empty());

  // Moving keeps the views: the body's storage moves with the object.
  const uint8_t* firmware = bird.blocks[2].data;
  BirdFile moved(std::move(bird));
  EXPECT_EQ(moved.blocks[2].data, firmware);
  BirdFile held;
  held = std::move(moved);
  EXPECT_EQ(held.blocks[2].data, firmware);
  EXPECT_EQ(PayloadOf(held.blocks[2]), written[2].payload);
  EXPECT_EQ(held.GetBuild(), 1234u);
}

TEST_F(BirdFileTest, DescriptorFields) {
  struct Row {
    std::string build, version, serial, model;
    uint32_t wantBuild;
    std::string wantVersion;
    uint32_t wantSerial;
  } rows[] = {
      {"123", "1.2.3 beta", "0012ABCD", "MODELX", 123, "1.2.3", 0x12ABCD},
      {"  77", "", "", "", 77, "", 0},
      {"1234567890123456", "123456789012345X", "40F5849A", "", static_cast<uint32_t>(123456789012345ull),
       "123456789012345", 0x40F5849A},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.build);
    BirdFile bird = Loaded(BirdBuilder().Descriptor(row.build, row.version, row.serial, row.model));
    EXPECT_EQ(bird.GetBuild(), row.wantBuild);
    EXPECT_EQ(bird.GetVersion(), row.wantVersion);
    EXPECT_EQ(bird.GetSerialNumber(), row.wantSerial);
  }

  BirdFile bird = Loaded(BirdBuilder().Descriptor("123", "1.2.3", "0012ABCD", "MODELX"));
  for (auto [given, matches] : {std::pair{"MODELX", true}, {"MODEL", true}, {"", true}, {"MODELXY", false},
                                {"modelx", false}, {"MODELX          Z", false}}) {
    SCOPED_TRACE(given);
    EXPECT_EQ(bird.ValidateModel(given), matches);
  }
  EXPECT_FALSE(bird.ValidateModel(nullptr));
  EXPECT_NE(log_.text().find("Model matches model number ([MODELX] == [MODEL])\n"), std::string::npos);

  // A full 16-character field: a longer given name reads nothing past it.
  BirdFile full = Loaded(BirdBuilder().Descriptor("1", "1", "1", "ABCDEFGHIJKLMNOP"));
  EXPECT_TRUE(full.ValidateModel("ABCDEFGHIJKLMNOP"));
  EXPECT_FALSE(full.ValidateModel("ABCDEFGHIJKLMNOPQ"));

  // No model name passes an image meant for another model.
  std::vector<std::string> names;
  for (uint32_t model = 0; model < 64; ++model)
    if (std::string(aDefs_GetModelName(model)) != "Unknown") names.push_back(aDefs_GetModelName(model));
  for (const auto& image : names) {
    BirdFile forModel = Loaded(BirdBuilder().Descriptor("1", "1", "1", image));
    for (const auto& device : names) EXPECT_EQ(forModel.ValidateModel(device.c_str()), image == device) << image;
  }

  BirdFile none = Loaded(BirdBuilder().Firmware(0, Pattern(8, 0)));
  EXPECT_EQ(none.GetBuild(), 0u);
  EXPECT_EQ(none.GetVersion(), "");
  EXPECT_EQ(none.GetSerialNumber(), 0u);
  EXPECT_TRUE(none.ValidateSerialNumber(0));
  EXPECT_FALSE(none.ValidateModel(""));
}

TEST_F(BirdFileTest, MalformedImages) {
  const ByteVec good = BirdBuilder().Firmware(0x100, Pattern(64, 9)).Descriptor(5, "1", 1, "M").Bytes();
  struct Row {
    std::string name;
    ByteVec file;
    bool loads;
    std::string line;    // logged while loading
    int blocks = -1;     // blocks kept, when it matters
  };
  std::vector<Row> rows;
  for (size_t n = 0; n <= 6; ++n)
    rows.push_back({"file of " + std::to_string(n) + " bytes", ByteVec(good.begin(), good.begin() + n), false,
                    "decompressing bird file.\n"});
  rows.push_back({"truncated zlib stream", BirdBuilder().Firmware(0, Pattern(500, 1)).TruncateCompressed(20).Bytes(),
                  false, "decompressing bird file.\n"});
  for (unsigned ratio : {8u, 9u, 100u})
    rows.push_back({"inflates " + std::to_string(ratio) + " times",
                    BirdBuilder().Firmware(0, Pattern(64, 1)).Ratio(ratio).Bytes(), true, "BIRDFILE:\t\t File checksum",
                    2});
  for (uint32_t length : {1000u, 0xFFFFFFFBu, 0xFFFFFFFFu})
    rows.push_back({"declared length " + std::to_string(length),
                    BirdBuilder().Firmware(0, Pattern(8, 1)).Raw(1, length, Pattern(8, 2)).Bytes(), true,
                    "Block parsing mismatch in data size. (13 bytes remaining)\n", 1});
  rows.push_back({"loader without address", BirdBuilder().Raw(0, 2, {1, 2}).Bytes(), false,
                  "BIRDFILE: Error - block 1 of type 0 is too short (2 bytes)\n"});
  rows.push_back({"firmware without address", BirdBuilder().StartAddress(1).Raw(1, 0, {}).Bytes(), false,
                  "BIRDFILE: Error - block 2 of type 1 is too short (0 bytes)\n"});
  rows.push_back({"short serial offsets", BirdBuilder().Raw(2, 7, Pattern(7, 1)).Bytes(), true, "", 1});
  rows.push_back({"short descriptor", BirdBuilder().Raw(4, 63, Pattern(63, 1)).Bytes(), true, "", 1});
  for (size_t n = 0; n <= 7; ++n)
    rows.push_back({"body of " + std::to_string(n) + " bytes", BirdBuilder().Body(Pattern(n, 0)).Bytes(), true,
                    "Block parsing mismatch in data size.", 0});
  rows.push_back({"declared 3 of 2", BirdBuilder().StartAddress(1).StartAddress(2).DeclaredCount(3).Bytes(), true,
                  "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n", 2});
  rows.push_back({"2 surplus bytes", BirdBuilder().StartAddress(1).Surplus({7, 7}).Bytes(), true,
                  "BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n", 1});
  rows.push_back({"no checksum", BirdBuilder().StartAddress(1).NoChecksum().Bytes(), true,
                  "Block parsing mismatch in data size. (5 bytes remaining)\n", 0});

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    log_.clear();
    BirdFile bird;
    EXPECT_EQ(Load(row.file, bird), row.loads);
    EXPECT_NE(log_.text().find(row.line), std::string::npos) << log_.text();
    if (row.blocks >= 0) {
      EXPECT_EQ(bird.blocks.size(), static_cast<size_t>(row.blocks));
    }
    for (const auto& block : bird.blocks) {
      EXPECT_GE(block.data, bird.data.get());
      EXPECT_LE(block.data + block.length, bird.data.get() + bird.dataSize);
    }
    // Short offsets and descriptors are there but unused.
    EXPECT_EQ(bird.serialAddress, 0u);
    EXPECT_FALSE(bird.ReplaceSerialNumber(0x1234ABCD));
    if (row.name == "short descriptor") {
      EXPECT_EQ(bird.GetBuild(), 0u);
    }
    if (row.name == "short serial offsets") {
      EXPECT_TRUE(bird.hasSerialBlock);
    }
    if (row.loads) {
      EXPECT_NO_THROW(BirdFile again(bird.path.c_str()));
    } else {
      EXPECT_THROW(BirdFile again(bird.path.c_str()), std::runtime_error);
    }
  }
}

// A body loads up to MAX_BODY_SIZE whatever its ratio; a longer one is refused, from a file and
// as downloaded bytes alike, without being held whole.
TEST_F(BirdFileTest, BodiesLoadUpToTheLimit) {
  struct Row {
    const char* name;
    uint64_t bodySize;
    bool loads;
  };
  const Row rows[] = {
      {"exactly the limit", BirdFile::MAX_BODY_SIZE, true},
      {"one byte more", BirdFile::MAX_BODY_SIZE + 1, false},
      {"4 GiB", (uint64_t{1} << 32) - 1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ByteVec file = ZeroBodyImage(row.bodySize);
    log_.clear();
    BirdFile bird;
    EXPECT_EQ(Load(file, bird), row.loads);
    EXPECT_EQ(BirdFile::VerifyBytes(file.data(), file.size()), row.loads);
    if (row.loads) {
      EXPECT_EQ(bird.dataSize, row.bodySize);
      ASSERT_EQ(bird.blocks.size(), 1u);
      EXPECT_EQ(bird.blocks[0].length, row.bodySize - 13);
      EXPECT_EQ(log_.text().find("decompressing"), std::string::npos) << log_.text();
    } else {
      EXPECT_EQ(bird.dataSize, 0u);
      EXPECT_EQ(bird.data, nullptr);
      EXPECT_TRUE(bird.blocks.empty());
      EXPECT_NE(log_.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"), std::string::npos)
          << log_.text();
    }
  }
}

TEST_F(BirdFileTest, HeaderIsOnlyCheckedByVerifyFile) {
  std::string file = dir_ / "image.bird";
  struct Row {
    std::string name;
    ByteVec file;
    bool verifies;
  } rows[] = {
      {"good", BirdBuilder().StartAddress(1).Bytes(), true},
      {"other signature", BirdBuilder().StartAddress(1).Signature("BIRD").Bytes(), false},
      {"version 0, 5", BirdBuilder().StartAddress(1).Version(0, 5).Bytes(), false},
      {"version 5, 0", BirdBuilder().StartAddress(1).Version(5, 0).Bytes(), false},
      {"version 9, 200", BirdBuilder().StartAddress(1).Version(9, 200).Bytes(), true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    BirdFile bird;
    EXPECT_TRUE(Load(row.file, bird));
    EXPECT_EQ(BirdFile::VerifyFile(file.c_str()), row.verifies);
  }
  truncate(file.c_str(), 5);
  EXPECT_FALSE(BirdFile::VerifyFile(file.c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(dir_.path().c_str()));
  log_.clear();
  EXPECT_FALSE(BirdFile::VerifyFile((dir_ / "missing").c_str()));
  EXPECT_NE(log_.text().find("BIRDFILE: Error - cannot open bird file: '" + dir_ / "missing" + "'\n"),
            std::string::npos);

  BirdFile missing;
  missing.path = dir_ / "missing";
  EXPECT_FALSE(missing.Load());
  EXPECT_NE(log_.text().find("BIRDFILE: BIRD file not found [" + missing.path + "]\n"), std::string::npos);
}

TEST_F(BirdFileTest, TooLargeFileIsNotRead) {
  std::string file = dir_ / "huge.bird";
  ByteVec head = BirdBuilder().StartAddress(1).Bytes();
  FILE* f = fopen(file.c_str(), "wb");
  fwrite(head.data(), 1, head.size(), f);
  fclose(f);
  ASSERT_EQ(truncate(file.c_str(), 65 << 20), 0);  // sparse
  BirdFile bird;
  bird.path = file;
  EXPECT_FALSE(bird.Load());
  EXPECT_NE(log_.text().find("BIRDFILE: Error - bird file too large [" + file + "] (68157440 bytes)\n"),
            std::string::npos);
  EXPECT_THROW(BirdFile thrown(file.c_str()), std::runtime_error);
}

TEST_F(BirdFileTest, NamedPipeIsNotOpened) {
  // Opening a pipe for reading blocks until a writer comes; a store entry must never do that.
  std::string file = dir_ / "1.bird";
  ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
  int status = RunInChild([&] {
    BirdFile bird;
    bird.path = file;
    return !BirdFile::VerifyFile(file.c_str()) && !bird.Load() ? 0 : 1;
  }, {}, 5000);
  EXPECT_EQ(ChildExitCode(status), 0);
}

TEST_F(BirdFileTest, MutatedBodiesStayInside) {
  LogCapture quiet(0);  // thousands of loads: nothing formatted
  BirdBuilder valid;
  valid.Loader(0, Pattern(24, 1)).Firmware(0x100, Pattern(80, 2)).SerialOffsets(0x110, 0x120).Descriptor(
      9, "1.0", 0x1234, "HubCore4").StartAddress(4);
  const ByteVec body = valid.InflatedBody();
  std::mt19937 rng(12345);
  const uint32_t key[4] = {1, 2, 3, 4};
  const uint8_t pattern[3] = {0, 7, 14};
  for (int round = 0; round < 3000; ++round) {
    ByteVec mutated = body;
    switch (round % 3) {
      case 0:
        for (int flips = 1 + rng() % 4; flips > 0; --flips) mutated[rng() % mutated.size()] ^= 1u << (rng() % 8);
        break;
      case 1:
        mutated.resize(rng() % mutated.size());
        break;
      default:
        for (int extra = 1 + rng() % 16; extra > 0; --extra) mutated.push_back(static_cast<uint8_t>(rng()));
        if (rng() % 2) mutated[rng() % mutated.size()] = 0xFF;
    }
    BirdFile loaded;
    Load(BirdBuilder().Body(mutated).Bytes(), loaded);
    BirdFile raw;
    raw.ScanBlocks(mutated.data(), static_cast<uint32_t>(mutated.size()));
    raw.FindSerialNumberOffsets();
    for (BirdFile* bird : {&loaded, &raw}) {
      for (const auto& block : bird->blocks) {
        ASSERT_GE(block.data, bird->data.get());
        ASSERT_LE(block.data + block.length, bird->data.get() + bird->dataSize);
      }
      bird->ReplaceSerialNumber(static_cast<uint32_t>(rng()));
      bird->DecodeFirmwareBlocks(key);
      bird->ReplaceVectorChecksum();
      bird->ValidateData(pattern, 1 + rng() % 3);
      bird->ValidateModel("HubCore4");
      bird->GetBuild();
      bird->GetVersion();
      bird->GetSerialNumber();
    }
  }
}

TEST_F(BirdFileTest, ReplaceSerialNumber) {
  const uint32_t A = 0x1000, S = 0x1010, D = 0x1040;
  const ByteVec image = Pattern(256, 0x5A);
  BirdFile bird = Loaded(BirdBuilder().Firmware(A, image).SerialOffsets(S, D));
  ASSERT_TRUE(bird.ReplaceSerialNumber(0x1234ABCD));
  ByteVec expected = BigEndian(A);
  expected.insert(expected.end(), image.begin(), image.end());
  size_t s = S - A + 4, d = D - A + 4;
  for (uint8_t byte : {0xCD, 0xAB, 0x34, 0x12}) expected[s++] = byte;
  for (int i = 0; i < 8; ++i) expected[d + 2 * i] = static_cast<uint8_t>("1234ABCD"[i]);
  EXPECT_EQ(PayloadOf(bird.blocks[0]), expected);

  // Nothing to patch, or nothing inside an image: false and no byte changed.
  const uint32_t high = 0xFFFFFF00;
  const uint32_t end = 0x1000 + 256;
  struct Row {
    std::string name;
    BirdBuilder image;
  } rows[] = {
      {"serial 2 bytes before the end", BirdBuilder().Firmware(A, image).SerialOffsets(end - 2, 0)},
      {"descriptor 14 bytes before the end", BirdBuilder().Firmware(A, image).SerialOffsets(0, end - 14)},
      {"serial below the image", BirdBuilder().Firmware(A, image).SerialOffsets(A - 1, 0)},
      {"serial near 2^32", BirdBuilder().Firmware(high, Pattern(0xF0, 1)).SerialOffsets(0xFFFFFFFE, 0)},
      {"descriptor near 2^32", BirdBuilder().Firmware(high, Pattern(0xF0, 1)).SerialOffsets(0, 0xFFFFFFF8)},
      {"both 0", BirdBuilder().Firmware(A, image).SerialOffsets(0, 0)},
      {"no offsets", BirdBuilder().Firmware(A, image)},
      {"loader only", BirdBuilder().Loader(A, image).SerialOffsets(S, D)},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    BirdFile other = Loaded(row.image);
    ByteVec before = BodyOf(other);
    EXPECT_FALSE(other.ReplaceSerialNumber(0x1234ABCD));
    EXPECT_EQ(BodyOf(other), before);
  }
}

TEST_F(BirdFileTest, DecodeFirmwareBlocksFromFreshStates) {
  const uint32_t key[4] = {0x01020304, 0xA0B0C0D0, 0x11223344, 0xDEADBEEF};
  const uint8_t keyBytes[16] = {1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0, 0x11, 0x22, 0x33, 0x44, 0xDE, 0xAD, 0xBE, 0xEF};
  BirdBuilder b;
  b.Firmware(0x10, Pattern(40, 1)).Loader(0, Pattern(10, 9)).Firmware(0x90, Pattern(21, 2));
  BirdFile bird = Loaded(b);
  ASSERT_TRUE(bird.DecodeFirmwareBlocks(key));
  auto written = b.Blocks();
  for (size_t i : {0u, 2u}) {
    SCOPED_TRACE(i);
    const BirdBlock& block = bird.blocks[i];
    EXPECT_EQ(ByteVec(block.data, block.data + 4), BigEndian(block.address));  // address word untouched
    // The inverse restores the image; the first byte met key byte 0 and a previous 0.
    const uint8_t* image = block.data + 4;
    EXPECT_EQ(image[0], written[i].payload[4] ^ keyBytes[0]);
    uint8_t previous = 0;
    ByteVec restored;
    for (uint32_t k = 0; k < block.length - 4; ++k) {
      restored.push_back(image[k] ^ keyBytes[k % 16] ^ previous);
      previous = image[k];
    }
    EXPECT_EQ(restored, ByteVec(written[i].payload.begin() + 4, written[i].payload.end()));
  }
  EXPECT_EQ(PayloadOf(bird.blocks[1]), written[1].payload);  // loaders are left alone
}

TEST_F(BirdFileTest, ReplaceVectorChecksum) {
  BirdBuilder b;
  b.Firmware(0, Pattern(64, 3)).Firmware(0x4000, Pattern(64, 4)).Firmware(0, Pattern(31, 5)).Firmware(0, Pattern(32, 6));
  BirdFile bird = Loaded(b);
  ASSERT_TRUE(bird.ReplaceVectorChecksum());
  auto written = b.Blocks();
  for (size_t i : {0u, 3u}) {
    const uint8_t* image = bird.blocks[i].data + 4;
    uint32_t sum = 0;
    for (int word : {0, 1, 2, 3, 4, 6, 7}) sum += LE(image + 4 * word);
    EXPECT_EQ(sum, 0u) << i;
    EXPECT_EQ(ByteVec(image, image + 28), ByteVec(written[i].payload.begin() + 4, written[i].payload.begin() + 32));
  }
  EXPECT_EQ(PayloadOf(bird.blocks[1]), written[1].payload);
  EXPECT_EQ(PayloadOf(bird.blocks[2]), written[2].payload);
}

TEST_F(BirdFileTest, ValidateDataAndDump) {
  BirdFile bird = Loaded(BirdBuilder().Firmware(0x41424344, {'x', 'y', 1}).StartAddress(7));
  const uint8_t found[2] = {'y', 1};
  const uint8_t whole[7] = {0x41, 0x42, 0x43, 0x44, 'x', 'y', 1};
  const uint8_t longer[8] = {0x41, 0x42, 0x43, 0x44, 'x', 'y', 1, 0};
  EXPECT_TRUE(bird.ValidateData(found, 2));
  EXPECT_NE(log_.text().find("Found data at 5\n"), std::string::npos);
  EXPECT_TRUE(bird.ValidateData(whole, 7));
  EXPECT_FALSE(bird.ValidateData(longer, 8));
  EXPECT_FALSE(bird.ValidateData(found, 0));
  EXPECT_FALSE(bird.ValidateData(nullptr, 2));

  testing::internal::CaptureStdout();
  EXPECT_TRUE(bird.DumpBlocks(BirdFile::BLOCK_FIRMWARE));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "BIRDFILE: BLOCK DUMP [" + bird.path + "]\n \r\n000000: 41 42 43 44 78 79 01  ABCDxy \n\n");
}
