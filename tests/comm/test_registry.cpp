// The key-value store that stands in for the registry.
#include "Exceptions.h"
#include "vxregistry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = fs::path(std::getenv("XDG_CONFIG_HOME")) / "registry-tests" /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(base);
        root = base / "root";
        outside = base / "outside";
        fs::create_directories(outside);
    }

    std::vector<uint8_t> Read(TvxRegistry& reg, const std::string& name)
    {
        std::vector<uint8_t> bytes(256);
        bytes.resize(reg.ReadBinaryData(name, bytes.data(), uint32_t(bytes.size())));
        return bytes;
    }

    std::set<std::string> FilesBelow(const fs::path& folder)
    {
        std::set<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            names.insert(fs::relative(entry.path(), folder).string());
        return names;
    }

    fs::path base, root, outside;
};

const std::vector<uint8_t> kBytes{0x00, 0x01, 0xFF, 0x7F, 0x80};

} // namespace

TEST_F(RegistryTest, WrittenValueReadsBackAndIsReplacedWhole)
{
    TvxRegistry reg{TvxRootKey(root)};
    ASSERT_TRUE(reg.OpenKey("Software\\Vx/Comm", true));
    reg.WriteBinaryData("Config", kBytes.data(), uint32_t(kBytes.size()));
    EXPECT_TRUE(reg.ValueExists("Config"));
    EXPECT_EQ(reg.GetDataSize("Config"), 5);
    EXPECT_EQ(Read(reg, "Config"), kBytes);

    const std::vector<uint8_t> shorter{9, 8};
    reg.WriteBinaryData("Config", shorter.data(), 2);
    EXPECT_EQ(Read(reg, "Config"), shorter);
    // "/" is part of a key name; no temporary file is left behind.
    EXPECT_EQ(FilesBelow(root), (std::set<std::string>{"Software", "Software/Vx%2FComm",
                                                       "Software/Vx%2FComm/=Config"}));
    // A leading "\" (from the root) and a trailing one name the same key.
    TvxRegistry again{TvxRootKey(root)};
    ASSERT_TRUE(again.OpenKey("\\Software\\Vx/Comm\\", false));
    EXPECT_EQ(Read(again, "Config"), shorter);
}

TEST_F(RegistryTest, MissingKeysAndValuesAreReportedNotInvented)
{
    TvxRegistry reg{TvxRootKey(root)};
    EXPECT_FALSE(reg.OpenKey("Nowhere", false));
    EXPECT_FALSE(fs::exists(root));
    EXPECT_FALSE(reg.ValueExists("Config"));
    EXPECT_THROW(reg.WriteBinaryData("Config", kBytes.data(), 5), Exception);

    ASSERT_TRUE(reg.OpenKey("Here", true));
    EXPECT_FALSE(reg.ValueExists("Config"));
    EXPECT_EQ(reg.GetDataSize("Config"), -1);
    uint8_t buffer[8];
    EXPECT_THROW(reg.ReadBinaryData("Config", buffer, sizeof buffer), Exception);
}

TEST_F(RegistryTest, ValueLargerThanTheBufferIsAnError)
{
    TvxRegistry reg{TvxRootKey(root)};
    ASSERT_TRUE(reg.OpenKey("K", true));
    reg.WriteBinaryData("V", kBytes.data(), 5);
    uint8_t buffer[4] = {};
    EXPECT_THROW(reg.ReadBinaryData("V", buffer, sizeof buffer), Exception);
    uint8_t exact[5] = {};
    EXPECT_EQ(reg.ReadBinaryData("V", exact, sizeof exact), 5u);
}

TEST_F(RegistryTest, KeyPathsThatLeaveTheRootAreRefused)
{
    TvxRegistry reg{TvxRootKey(root)};
    for (const std::string& key : std::vector<std::string>{"..", "a\\..\\..\\outside", "a\\.\\b", "\\..", "a\\\\b",
                                                           "\\\\", std::string("a\0b", 3)}) {
        SCOPED_TRACE(key);
        try {
            reg.OpenKey(key, true);
            ADD_FAILURE() << "accepted";
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find("Invalid registry key path"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(reg.HasCurrentKey());
    }
    // Names that read as file paths are single keys inside the root.
    for (const std::string key : {"/etc", "../outside", "a/./b"})
        EXPECT_TRUE(reg.OpenKey(key, true)) << key;
    EXPECT_TRUE(FilesBelow(outside).empty());
    EXPECT_EQ(FilesBelow(root), (std::set<std::string>{"%2Fetc", "..%2Foutside", "a%2F.%2Fb"}));
}

TEST_F(RegistryTest, SymbolicLinksInsideTheStoreAreNotFollowed)
{
    fs::create_directories(root / "Key");
    fs::create_directory_symlink(outside, root / "Escape");
    std::ofstream(outside / "target") << "keep";
    fs::create_symlink(outside / "target", root / "Key" / "=Planted");

    TvxRegistry reg{TvxRootKey(root)};
    EXPECT_FALSE(reg.OpenKey("Escape", true));
    EXPECT_FALSE(reg.OpenKey("Escape\\Deeper", true));

    ASSERT_TRUE(reg.OpenKey("Key", false));
    EXPECT_FALSE(reg.ValueExists("Planted"));
    uint8_t buffer[16];
    EXPECT_THROW(reg.ReadBinaryData("Planted", buffer, sizeof buffer), Exception);
    // Writing replaces the link itself; the file it pointed at stays as it was.
    reg.WriteBinaryData("Planted", kBytes.data(), 5);
    EXPECT_EQ(Read(reg, "Planted"), kBytes);
    std::string kept;
    std::ifstream(outside / "target") >> kept;
    EXPECT_EQ(kept, "keep");
    EXPECT_EQ(FilesBelow(outside), (std::set<std::string>{"target"}));
}

TEST_F(RegistryTest, EveryValueNameIsItsOwnValue)
{
    TvxRegistry reg{TvxRootKey(root)};
    ASSERT_TRUE(reg.OpenKey("K", true));
    ASSERT_TRUE(reg.OpenKey("K\\Sub", true));
    ASSERT_TRUE(reg.OpenKey("K", false));
    const std::vector<std::string> names{"", ".", "..", "a/b", "a\\b", "a%2Fb", "=x", "Sub", "x~1",
                                         std::string("n\0l", 3), "\xC3\xA4"};
    for (size_t i = 0; i < names.size(); ++i) {
        const uint8_t byte = uint8_t(i);
        reg.WriteBinaryData(names[i], &byte, 1);
    }
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(Read(reg, names[i]), std::vector<uint8_t>{uint8_t(i)}) << i;
    // The sub-key of the same name as a value is still a key.
    EXPECT_TRUE(reg.OpenKey("K\\Sub", false));
    EXPECT_EQ(FilesBelow(root / "K" / "Sub").size(), 0u);
    EXPECT_EQ(FilesBelow(root / "K").size(), names.size() + 1);
}

TEST(RegistryRoots, UserRootLivesInTheConfigurationFolder)
{
    const fs::path expected = fs::path(std::getenv("XDG_CONFIG_HOME")) / "vxcomm" / "registry" / "user";
    EXPECT_EQ(TvxRootKey::CurrentUser().Folder(), expected);
    EXPECT_EQ(TvxRootKey::LocalMachine().Folder(), fs::path("/etc/vxcomm/registry"));
}
