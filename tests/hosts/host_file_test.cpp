// Host files: the format over raw text, and the reader's checks, messages and platform calls.
#include "hosts/host_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "hosts/host_list.h"
#include "hosts/list_entries.h"

namespace quilvane {
namespace {

using testing::entriesOf;

using testing::FakePlatform;
using testing::ScopedFakePlatform;
using Hosts = std::vector<std::string>;

TEST(HostFileFormat, CommasAndLineEndsSeparateAlike) {
    EXPECT_EQ(parseHostFileText("a,b"), (Hosts{"a", "b"}));
    EXPECT_EQ(parseHostFileText("host1\nhost2\n"), (Hosts{"host1", "host2"}));
    EXPECT_EQ(parseHostFileText("alpha,beta\r\ngamma,delta"),
              (Hosts{"alpha", "beta", "gamma", "delta"}));
    EXPECT_EQ(parseHostFileText("host1\rhost2\r\n\r\nhost3"), (Hosts{"host1", "host2", "host3"}));
    EXPECT_EQ(parseHostFileText("10.0.0.1,10.0.0.2\r\n"), (Hosts{"10.0.0.1", "10.0.0.2"}));
}

TEST(HostFileFormat, ShortLastHostIsKept) {
    EXPECT_EQ(parseHostFileText("abcd"), (Hosts{"abcd"}));
    EXPECT_EQ(parseHostFileText("x\r\nabcd"), (Hosts{"x", "abcd"}));
    EXPECT_EQ(parseHostFileText("host1,,host2,\r\n"), (Hosts{"host1", "host2"}));
}

TEST(HostFileFormat, BlanksAndTabsAroundAHostAreTrimmedButNotInside) {
    EXPECT_EQ(parseHostFileText("  a b \t, \tc\t\n\t \n"), (Hosts{"a b", "c"}));
}

TEST(HostFileFormat, EmptyTextsGiveNothing) {
    EXPECT_EQ(parseHostFileText(""), Hosts{});
    EXPECT_EQ(parseHostFileText(",,\r\n\n\r \t ,"), Hosts{});
}

TEST(HostFileFormat, FirstNulEndsTheText) {
    EXPECT_EQ(parseHostFileText(std::string("one,two\0three", 13)), (Hosts{"one", "two"}));
    EXPECT_EQ(parseHostFileText(std::string("\0host", 5)), Hosts{});
}

TEST(HostFileFormat, BinaryGarbageGivesHostsWithoutSeparators) {
    std::string garbage;
    uint32_t state = 12345;
    for (int i = 0; i < 4096; ++i) {
        state = state * 1103515245 + 12345;
        garbage.push_back(static_cast<char>((state >> 16) | 1));  // no NUL, so all is seen
    }
    size_t total = 0;
    for (const auto& host : parseHostFileText(garbage)) {
        ASSERT_FALSE(host.empty());
        EXPECT_EQ(host.find_first_of(",\r\n"), std::string::npos);
        EXPECT_NE(host.front(), ' ');
        EXPECT_NE(host.back(), '\t');
        total += host.size();
    }
    EXPECT_GT(total, 0u);
    EXPECT_LE(total, garbage.size());
}

class HostFileReading : public ::testing::Test {
  protected:
    ScopedFakePlatform scope;
    FakePlatform& fake = scope.fake;
    HostList list;
};

TEST_F(HostFileReading, ReadsTheFileWholeInOneReadOfTheSizeFound) {
    fake.files["hosts.txt"] = "alpha,beta\r\ngamma";
    readHostFile(list, "hosts.txt");
    EXPECT_EQ(entriesOf(list), (Hosts{"alpha", "beta", "gamma"}));
    EXPECT_TRUE(list.hostFileGiven);
    EXPECT_EQ(scope.output, "");
    EXPECT_EQ(fake.calls, (Hosts{"find hosts.txt", "open hosts.txt", "read 17", "close file"}));
}

TEST_F(HostFileReading, FileGivenTwiceAppendsItsHostsTwice) {
    fake.files["h"] = "a\nb\n";
    list.append("before");
    readHostFile(list, "h");
    readHostFile(list, "h");
    EXPECT_EQ(entriesOf(list), (Hosts{"before", "a", "b", "a", "b"}));
}

TEST_F(HostFileReading, OneHostFromAFileStillMarksAHostFile) {
    fake.files["one"] = "10.0.0.1\r\n";
    readHostFile(list, "one");
    EXPECT_EQ(entriesOf(list), (Hosts{"10.0.0.1"}));
    EXPECT_TRUE(list.hostFileGiven);
}

TEST_F(HostFileReading, MissingFileIsReportedAndStillMarksAHostFile) {
    list.append("kept");
    readHostFile(list, "/no/such/file");
    EXPECT_EQ(scope.output, "\nFile /no/such/file not found.\n");
    EXPECT_EQ(entriesOf(list), (Hosts{"kept"}));
    EXPECT_TRUE(list.hostFileGiven);
    EXPECT_EQ(fake.calls, (Hosts{"find /no/such/file"}));
}

TEST_F(HostFileReading, DirectoryCannotBeOpened) {
    fake.directories.push_back("/tmp");
    readHostFile(list, "/tmp");
    EXPECT_EQ(scope.output, "\nUnable to open /tmp.\n");
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(fake.calls, (Hosts{"find /tmp", "open /tmp"}));
}

TEST_F(HostFileReading, FileThatShrankSinceTheLookupIsRefusedWhole) {
    fake.files["h"] = "alpha,beta,gamma";
    fake.shrinkBy = 3;
    readHostFile(list, "h");
    EXPECT_EQ(scope.output, "\nUnable to read input data. Please check your input file.\n");
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(fake.calls.back(), "close file");
}

// Pipes, terminals, devices and standard input have no size: they are read to their end.
TEST_F(HostFileReading, FilesWithoutASizeAreReadToTheirEnd) {
    std::string many;
    Hosts manyHosts;
    for (int i = 0; i < 20000; ++i) {
        manyHosts.push_back("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250));
        many += manyHosts.back() + "\n";
    }
    struct Case {
        const char* what;
        std::string path;  // "-" is standard input
        std::string contents;
        size_t burst;
        std::optional<size_t> failAfter;
        Hosts hosts;
        const char* printed;
    };
    const Case cases[] = {
        {"a pipe in pieces",
         "/dev/fd/63",
         "alpha,beta\ngamma\n",
         3,
         std::nullopt,
         {"alpha", "beta", "gamma"},
         ""},
        {"an empty pipe", "/dev/fd/63", "", 0, std::nullopt, {}, ""},
        {"standard input",
         "-",
         "10.0.0.1\r\n10.0.0.2",
         5,
         std::nullopt,
         {"10.0.0.1", "10.0.0.2"},
         ""},
        {"a pipe longer than one read", "/dev/fd/63", many, 4096, std::nullopt, manyHosts, ""},
        {"a failed read after some bytes",
         "/dev/stdin",
         "alpha,beta,gamma",
         4,
         8,
         {},
         "\nUnable to read input data. Please check your input file.\n"},
    };
    for (const Case& c : cases) {
        ScopedFakePlatform scoped;
        HostList hosts;
        if (c.path == "-") {
            scoped.fake.standardInput = c.contents;
        } else {
            scoped.fake.files[c.path] = c.contents;
            scoped.fake.pipes.insert(c.path);
        }
        scoped.fake.pipeBurst = c.burst;
        scoped.fake.failReadAfter = c.failAfter;
        readHostFile(hosts, c.path);
        EXPECT_EQ(entriesOf(hosts), c.hosts) << c.what;
        EXPECT_EQ(scoped.output, c.printed) << c.what;
        EXPECT_TRUE(hosts.hostFileGiven) << c.what;
        EXPECT_EQ(scoped.fake.calls.back(), "close file") << c.what;
    }
}

TEST_F(HostFileReading, StandardInputThatCannotBeOpenedIsReportedAsAFile) {
    readHostFile(list, "-");
    EXPECT_EQ(scope.output, "\nUnable to open -.\n");
    EXPECT_EQ(fake.calls, (Hosts{"open standard input"}));
}

TEST_F(HostFileReading, EmptyFileGivesNothingAndNoMessage) {
    fake.files["empty"] = "";
    readHostFile(list, "empty");
    EXPECT_EQ(scope.output, "");
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(list.hostFileGiven);
}

TEST_F(HostFileReading, PercentSignsInThePathArePrintedAsGiven) {
    readHostFile(list, "%s%n.txt");
    EXPECT_EQ(scope.output, "\nFile %s%n.txt not found.\n");
}

// A lookup that reports a file of 4 GiB, which is refused before anything is read.
class HugeFilePlatform : public FakePlatform {
  public:
    FileLookup findFile(const std::string& path) override {
        calls.push_back("find " + path);
        return {true, hostFileSizeLimit};
    }
};

TEST_F(HostFileReading, FileOfFourGibibytesOrMoreIsRefusedAsTooBigForTheBuffer) {
    HugeFilePlatform huge;
    huge.files["big"] = "a,b";
    huge.standardOutput = &scope.output;
    setPlatform(&huge);
    readHostFile(list, "big");
    setPlatform(&fake);
    EXPECT_EQ(scope.output, "\nUnable to allocate input buffer. Please check your input file.\n");
    EXPECT_EQ(huge.calls, (Hosts{"find big", "open big", "close file"}));
    EXPECT_TRUE(list.empty());
}

TEST_F(HostFileReading, ManyLinesArePackedWithoutLosingAny) {
    std::string text;
    for (int i = 0; i < 100'000; ++i) text += "host" + std::to_string(i) + (i % 3 ? "\n" : ",");
    fake.files["many"] = text;
    readHostFile(list, "many");
    ASSERT_EQ(list.size(), 100'000u);
    EXPECT_EQ(list.entry(0), "host0");
    EXPECT_EQ(list.entry(54'321), "host54321");
    EXPECT_EQ(list.entry(99'999), "host99999");
}

}  // namespace
}  // namespace quilvane
