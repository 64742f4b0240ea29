#include "Torvi/HardwareAPI/discovery/PortEnumeration.hpp"

#include "support/CaseName.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using Torvi::HardwareAPI::Discovery::CandidatePort;
using Torvi::HardwareAPI::Discovery::KindOfName;
using Torvi::HardwareAPI::Discovery::list_candidate_ports_in;
using Torvi::HardwareAPI::Discovery::PortKind;

namespace {

class FakeDevDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/torvi-dev-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = fs::canonical(pattern);
    }
    void TearDown() override { fs::remove_all(dir); }

    void Touch(const std::string& name) { std::ofstream(dir / name).put('\0'); }
    void Link(const std::string& name, const fs::path& target) {
        fs::create_symlink(target, dir / name);
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // The listing follows the directory's order; compare as sets where the
    // order is not what is under test.
    static std::vector<CandidatePort> Sorted(std::vector<CandidatePort> ports) {
        std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
            return std::tie(a.path, a.kind) < std::tie(b.path, b.kind);
        });
        return ports;
    }

    fs::path dir;
};

} // namespace

struct NameCase {
    const char* name;
    std::optional<PortKind> kind;
};

class KindOfNameTable : public ::testing::TestWithParam<NameCase> {};

TEST_P(KindOfNameTable, DecidesByFirstMatchingSubstring) {
    EXPECT_EQ(KindOfName(GetParam().name), GetParam().kind) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, KindOfNameTable,
    ::testing::Values(NameCase{"ttyACM0", PortKind::Acm}, NameCase{"ttyUSB12", PortKind::Usb},
                      NameCase{"rfcomm0", PortKind::Rfcomm}, NameCase{"myttyUSB", PortKind::Usb},
                      NameCase{"ttyUSB_ttyACM", PortKind::Acm},
                      NameCase{"rfcomm_ttyUSB", PortKind::Usb}, NameCase{"TTYACM0", std::nullopt},
                      NameCase{"RFCOMM0", std::nullopt}, NameCase{"ttyS0", std::nullopt},
                      NameCase{"ttyAMA0", std::nullopt}, NameCase{"ttyAC", std::nullopt}),
    CaseName());

TEST_F(FakeDevDirectory, ListsOnlyPortNamesWithTheirKinds) {
    for (const char* name : {"ttyACM0", "ttyUSB0", "rfcomm0", "ttyS0", "ttyAMA0", "null"})
        Touch(name);
    EXPECT_EQ(Sorted(list_candidate_ports_in(dir)), Sorted({{Path("rfcomm0"), PortKind::Rfcomm},
                                                            {Path("ttyACM0"), PortKind::Acm},
                                                            {Path("ttyUSB0"), PortKind::Usb}}));
}

TEST_F(FakeDevDirectory, ALinkIsListedUnderItsTargetWithItsOwnKind) {
    Touch("ttyACM0");
    Link("ttyUSB_handle", dir / "ttyACM0");
    EXPECT_EQ(Sorted(list_candidate_ports_in(dir)),
              Sorted({{Path("ttyACM0"), PortKind::Acm}, {Path("ttyACM0"), PortKind::Usb}}));
}

TEST_F(FakeDevDirectory, AnUnmatchedLinkToAPortIsNotListed) {
    Touch("ttyACM0");
    Link("arm", dir / "ttyACM0");
    EXPECT_EQ(list_candidate_ports_in(dir).size(), 1u);
}

TEST_F(FakeDevDirectory, ADanglingPortLinkFailsTheWholeListing) {
    Touch("ttyACM0");
    Link("rfcomm7", dir / "gone");
    EXPECT_THROW(list_candidate_ports_in(dir), fs::filesystem_error);
}

TEST_F(FakeDevDirectory, ADanglingLinkWithAnotherNameIsIgnored) {
    Touch("ttyACM0");
    Link("stale", dir / "gone");
    EXPECT_EQ(list_candidate_ports_in(dir).size(), 1u);
}

TEST_F(FakeDevDirectory, SubdirectoriesAreNotSearched) {
    fs::create_directory(dir / "serial");
    std::ofstream(dir / "serial" / "ttyUSB0").put('\0');
    EXPECT_TRUE(list_candidate_ports_in(dir).empty());
}

TEST_F(FakeDevDirectory, TwoListingsOfAnUnchangedDirectoryAreEqual) {
    for (const char* name : {"ttyUSB3", "ttyACM1", "rfcomm2", "ttyUSB0"})
        Touch(name);
    EXPECT_EQ(list_candidate_ports_in(dir), list_candidate_ports_in(dir));
}

TEST_F(FakeDevDirectory, AMissingDirectoryGivesAnEmptyList) {
    EXPECT_TRUE(list_candidate_ports_in(dir / "missing").empty());
}

TEST_F(FakeDevDirectory, AnUnlistableDirectoryThrows) {
    if (geteuid() == 0) {
        // Root reads every directory; a regular file cannot be listed either.
        Touch("file");
        EXPECT_THROW(list_candidate_ports_in(dir / "file"), fs::filesystem_error);
        return;
    }
    fs::permissions(dir, fs::perms::none);
    EXPECT_THROW(list_candidate_ports_in(dir), fs::filesystem_error);
    fs::permissions(dir, fs::perms::owner_all);
}
