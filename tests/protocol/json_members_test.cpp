#include <gtest/gtest.h>

#include <string>

#include "protocol/json.h"
#include "protocol/json_members.h"

namespace kaldren::patcher {
namespace {

// Members nobody takes are skipped whatever they hold, a repeated member is read again
// and counted once, and what was never there is missing.
TEST(JsonMembersTest, SkipsWhatIsNotTakenAndKnowsWhatWasThere) {
  JsonReader reader(R"({"later":{"a":[1,{"b":"}"}]},"size":3,"name":"x","size":5,"tail":[[]]})");
  std::uint64_t size = 0;
  std::string name;
  JsonMembers members(reader);
  int seen = 0;
  while (members.next()) {
    ++seen;
    if (members.take("size")) {
      size = reader.read_unsigned();
    } else if (members.take("name")) {
      name = reader.read_string();
    }
  }
  EXPECT_EQ(seen, 5);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(name, "x");
  EXPECT_TRUE(reader.at_end_ignoring_whitespace());
  EXPECT_TRUE(members.has_all({"size", "name"}));
  EXPECT_FALSE(members.has_all({"size", "later"}));  // present, but nobody took it
}

}  // namespace
}  // namespace kaldren::patcher
