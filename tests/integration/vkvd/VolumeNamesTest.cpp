// The names of the directories vkvd mounts a disk's volumes in: the label
// where it can name one directory on its own and no other volume of the
// disk could take the same name, otherwise "volume" and the partition
// number. No devices needed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VolumeNames.h"

namespace {

struct Case {
  const char* name;
  std::vector<VolumeNames::Volume> volumes;
  std::vector<std::string> expected;
};

const Case kCases[] = {
    {"a label", {{1, "BACKUP"}}, {"BACKUP"}},
    {"a label with blanks and accents",
     {{1, "Sauvegarde d'\xC3\xA9t\xC3\xA9 2024"}},
     {"Sauvegarde d'\xC3\xA9t\xC3\xA9 2024"}},
    {"no label", {{1, ""}}, {"volume1"}},
    {"a label with a slash", {{2, "a/b"}}, {"volume2"}},
    {"a label that is a dot", {{1, "."}}, {"volume1"}},
    {"a label that is two dots", {{1, ".."}}, {"volume1"}},
    {"a label with a line end", {{1, "a\nb"}}, {"volume1"}},
    {"a label with DEL", {{1, "a\x7F"}}, {"volume1"}},
    {"a label with a C1 control", {{1, "a\xC2\x85"}}, {"volume1"}},
    {"a label that is not UTF-8", {{1, "caf\xE9"}}, {"volume1"}},
    {"a label of NAME_MAX bytes", {{1, std::string(255, 'x')}}, {std::string(255, 'x')}},
    {"a label longer than NAME_MAX bytes", {{1, std::string(256, 'x')}}, {"volume1"}},
    {"two volumes with labels of their own", {{1, "SYSTEM"}, {2, "DATA"}}, {"SYSTEM", "DATA"}},
    {"two volumes with the same label", {{1, "DATA"}, {3, "DATA"}, {4, "OTHER"}}, {"volume1", "volume3", "OTHER"}},
    {"a label that is another volume's fallback name", {{1, ""}, {2, "volume1"}}, {"volume1", "volume2"}},
    {"a label that is its own fallback name", {{1, "volume1"}, {2, "DATA"}}, {"volume1", "DATA"}},
    {"labels that differ in case", {{1, "data"}, {2, "DATA"}}, {"data", "DATA"}},
};

}  // namespace

TEST(VolumeNames, LabelsThatCanNameADirectoryAloneOtherwiseThePartitionNumber) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VolumeNames::of(c.volumes), c.expected);
  }
}
