// The page of the maps: every name from outside goes in escaped.
#include "maps/page.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Page, NamesFromOutsideAreEscaped) {
  dx::Picture p;
  p.name = "Fre_all";
  p.group = "Drought <frequency>";
  p.title = "A & B";
  p.sources.push_back({"Fre_all", "Fre_all", "Fre_all.txt"});
  const std::string hostile = "/tmp/<script>alert(\"x\")</script>&'";
  const std::string page = dx::index_page({p}, {"2026-12-10 02:00", hostile, 1, "marks"});
  EXPECT_EQ(page.find("<script>"), std::string::npos) << page;
  EXPECT_NE(page.find("/tmp/&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;'"), std::string::npos) << page;
  EXPECT_NE(page.find("Drought &lt;frequency&gt;"), std::string::npos);
  EXPECT_NE(page.find("alt=\"A &amp; B\""), std::string::npos);
}

}  // namespace
