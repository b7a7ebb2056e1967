// The page of the maps: a contents table that leads to every picture and
// back, thumbnails that load as they are scrolled to, the stations left
// off, and every name from outside escaped.
#include "maps/page.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// A picture as the plan makes it: one data set (a panel per time step) or
// one time step of several (a panel per data set).
dx::Picture picture(const std::string& name, const std::string& group, const std::string& title,
                    const std::vector<std::string>& sources, const std::vector<std::string>& headings,
                    const std::string& table = "") {
  dx::Picture p;
  p.name = name, p.group = group, p.title = title;
  for (const std::string& s : sources) p.sources.push_back({s, s, ""});
  p.sources.front().table = table;
  for (std::size_t k = 0; k < headings.size(); ++k) {
    dx::Panel& panel = p.panels.emplace_back();
    panel.heading = headings[k];
    panel.source = sources.size() > 1 ? k : 0;
  }
  return p;
}

const std::vector<std::string> kClasses = {"PDSI, moderate", "SPI-12, extreme"};
const std::vector<std::string> kPeriods = {"period 1", "period 2"};

// Pictures of whole-series and per-period statistics, in the plan's order
// (the per-period pictures of two statistics in turn).
std::vector<dx::Picture> sample_pictures() {
  return {
      picture("Num_Dr_Mon", "Drought months", "Number of drought months, whole series", {"Num_Dr_Mon"}, kClasses,
              "Num_Dr_Mon.txt"),
      picture("Fre_all", "Drought frequency, whole series", "Drought frequency, whole series", {"Fre_all"}, kClasses,
              "Fre_all.txt"),
      picture("Fre_01", "Drought frequency by period", "Drought frequency, period 1", {"Fre_01"}, kClasses),
      picture("Mag_01", "Drought magnitude by period", "Drought magnitude, period 1", {"Mag_01"}, kClasses),
      picture("Fre_02", "Drought frequency by period", "Drought frequency, period 2", {"Fre_02"}, kClasses),
      picture("Mag_02", "Drought magnitude by period", "Drought magnitude, period 2", {"Mag_02"}, kClasses),
      picture("Fre_pdsi_mod", "Drought frequency by period", "Drought frequency by period, PDSI, moderate",
              {"Fre_01", "Fre_02"}, kPeriods),
      picture("Fre_spi12_ext", "Drought frequency by period", "Drought frequency by period, SPI-12, extreme",
              {"Fre_01", "Fre_02"}, kPeriods),
      picture("Mag_pdsi_mod", "Drought magnitude by period", "Drought magnitude by period, PDSI, moderate",
              {"Mag_01", "Mag_02"}, kPeriods),
  };
}

std::string page_of(const std::vector<dx::Picture>& pictures, std::size_t unusable = 0) {
  return dx::index_page(pictures, {"2026-12-10 02:00", "/data/run", 150, unusable, "one coloured mark per station"});
}

// The value of attribute `name` of the tag that starts at `at`; "" if the
// tag has none.
std::string attribute(const std::string& page, std::size_t at, const std::string& name) {
  const std::size_t end = page.find('>', at);
  const std::size_t i = page.find(" " + name + "=\"", at);
  if (i == std::string::npos || i > end) return "";
  const std::size_t from = i + name.size() + 3;
  return page.substr(from, page.find('"', from) - from);
}

// Every value of attribute `name` on the page, in order.
std::vector<std::string> attributes(const std::string& page, const std::string& name) {
  std::vector<std::string> out;
  const std::string key = " " + name + "=\"";
  for (std::size_t i = 0; (i = page.find(key, i)) != std::string::npos;) {
    i += key.size();
    out.push_back(page.substr(i, page.find('"', i) - i));
  }
  return out;
}

// The id of the figure that shows picture `name`; "" if there is none.
std::string figure_id(const std::string& page, const std::string& name) {
  const std::size_t img = page.find("src=\"" + name + ".png\"");
  if (img == std::string::npos) return "";
  const std::size_t figure = page.rfind("<figure", img);
  return figure == std::string::npos ? "" : attribute(page, figure, "id");
}

// The contents lead to every statistic in page order and to every picture,
// named by its title or, within its statistic, by what tells it apart; no
// link leads nowhere, and no two places share an id.
TEST(Page, TheContentsLeadToEveryStatisticAndPicture) {
  const std::string page = page_of(sample_pictures());
  const std::size_t contents = page.find("id=\"contents\""), first_figure = page.find("<figure");
  ASSERT_NE(contents, std::string::npos) << page;
  ASSERT_NE(first_figure, std::string::npos);
  ASSERT_LT(contents, first_figure);
  const std::string table = page.substr(contents, first_figure - contents);

  std::size_t last = 0;
  for (const std::string group : {"Drought months", "Drought frequency, whole series", "Drought frequency by period",
                                  "Drought magnitude by period"}) {
    SCOPED_TRACE(group);
    const std::size_t heading = page.find(">" + group + "</h2>");
    ASSERT_NE(heading, std::string::npos);
    const std::string id = attribute(page, page.rfind("<h2", heading), "id");
    ASSERT_FALSE(id.empty());
    const std::size_t at = table.find("href=\"#" + id + "\">" + group + "</a>");
    ASSERT_NE(at, std::string::npos) << table;
    EXPECT_GT(at, last) << "in page order";
    last = at;
  }

  const struct {
    const char* picture;
    const char* words;
  } links[] = {
      {"Num_Dr_Mon", "Number of drought months, whole series"},
      {"Fre_all", "Drought frequency, whole series"},
      {"Fre_01", "period 1"},
      {"Fre_02", "period 2"},
      {"Mag_02", "period 2"},
      {"Fre_pdsi_mod", "PDSI, moderate"},
      {"Fre_spi12_ext", "SPI-12, extreme"},
      {"Mag_pdsi_mod", "PDSI, moderate"},
  };
  for (const auto& l : links) {
    SCOPED_TRACE(l.picture);
    const std::string id = figure_id(page, l.picture);
    ASSERT_FALSE(id.empty()) << page;
    EXPECT_NE(table.find("href=\"#" + id + "\">" + l.words + "</a>"), std::string::npos) << table;
  }

  const std::vector<std::string> ids = attributes(page, "id");
  const std::set<std::string> unique(ids.begin(), ids.end());
  EXPECT_EQ(unique.size(), ids.size()) << "ids used twice";
  for (const std::string& href : attributes(page, "href"))
    EXPECT_TRUE(!href.starts_with("#") || unique.contains(href.substr(1))) << href;

  // Nothing to map: the words, and no contents.
  const std::string empty = page_of({});
  EXPECT_NE(empty.find("nothing to map"), std::string::npos) << empty;
  EXPECT_EQ(empty.find("<table"), std::string::npos) << empty;
}

// Every picture: a thumbnail loaded when it is scrolled to, that keeps the
// picture's shape until then and leads to the picture.  (How large the
// thumbnails are in a browser, the end-to-end test of the maps checks.)
TEST(Page, ThumbnailsLoadWhenScrolledToAndKeepThePicturesShape) {
  const std::string page = page_of(sample_pictures());
  for (const dx::Picture& p : sample_pictures()) {
    SCOPED_TRACE(p.name);
    const std::size_t img = page.rfind("<img", page.find("src=\"" + p.name + ".png\""));
    ASSERT_NE(img, std::string::npos);
    EXPECT_EQ(attribute(page, img, "loading"), "lazy");
    // The room it takes before it is loaded: the picture's shape.
    const int width = std::stoi("0" + attribute(page, img, "width"));
    const int height = std::stoi("0" + attribute(page, img, "height"));
    EXPECT_GT(width, 0);
    EXPECT_NEAR(height, width * dx::kPictureHeight / dx::kPictureWidth, 1);
    EXPECT_EQ(attribute(page, page.rfind("<a ", img), "href"), p.name + ".png");
  }
}

// After every statistic's pictures, a link back to the contents.
TEST(Page, EveryStatisticEndsWithALinkBackToTheContents) {
  const std::string page = page_of(sample_pictures());
  ASSERT_NE(page.find("id=\"contents\""), std::string::npos);
  // The statistics' headings: those with an id but the contents'.
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; (i = page.find("<h2", i)) != std::string::npos; ++i)
    if (const std::string id = attribute(page, i, "id"); !id.empty() && id != "contents") starts.push_back(i);
  ASSERT_EQ(starts.size(), 4u) << page;
  starts.push_back(page.find("</body>"));
  for (std::size_t s = 0; s + 1 < starts.size(); ++s) {
    const std::string section = page.substr(starts[s], starts[s + 1] - starts[s]);
    const std::size_t back = section.rfind("href=\"#contents\"");
    ASSERT_NE(back, std::string::npos) << section;
    EXPECT_GT(back, section.rfind("</figure>")) << "after the pictures";
  }
}

// The stations without a usable position are named, when there are any.
TEST(Page, TheHeaderSaysHowManyStationsAreLeftOff) {
  const struct {
    std::size_t unusable;
    const char* words;  // "" for none
  } cases[] = {
      {0, ""},
      {1, "1 station without a usable position is left off the maps"},
      {7, "7 stations without a usable position are left off the maps"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unusable);
    const std::string page = page_of(sample_pictures(), c.unusable);
    if (*c.words == '\0') {
      EXPECT_EQ(page.find("usable position"), std::string::npos);
    } else {
      EXPECT_NE(page.find(c.words), std::string::npos) << page.substr(0, page.find("<table"));
    }
  }
  // The explorer, where the step wrote it, is linked from the header.
  EXPECT_EQ(page_of(sample_pictures(), 0).find("explorer.html"), std::string::npos);
  const std::string with = dx::index_page(sample_pictures(), {"", "/out", 3, 0, "marks", true});
  EXPECT_NE(with.find("<a href=\"explorer.html\">Explore the stations</a>"), std::string::npos);
}

TEST(Page, NamesFromOutsideAreEscaped) {
  dx::Picture p;
  p.name = "Fre_all";
  p.group = "Drought <frequency>";
  p.title = "A & B";
  p.sources.push_back({"Fre_all", "Fre_all", "Fre_all.txt"});
  const std::string hostile = "/tmp/<script>alert(\"x\")</script>&'";
  const std::string page = dx::index_page({p}, {"2026-12-10 02:00", hostile, 1, 0, "marks"});
  EXPECT_EQ(page.find("<script>"), std::string::npos) << page;
  EXPECT_NE(page.find("/tmp/&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;'"), std::string::npos) << page;
  EXPECT_NE(page.find("Drought &lt;frequency&gt;"), std::string::npos);
  EXPECT_EQ(page.find("<frequency>"), std::string::npos) << page;
  EXPECT_NE(page.find("alt=\"A &amp; B\""), std::string::npos);
  EXPECT_EQ(page.find("A & B"), std::string::npos) << page;
  // A folder name that is not UTF-8 (the page declares UTF-8): its other
  // bytes shown as such; UTF-8 as it is.
  const std::string latin1 = dx::index_page({p}, {"", "/data/caf\xe9/r\xc3\xa9sultats/\xed\xa0\x80", 1, 0, ""});
  EXPECT_NE(latin1.find("<code>/data/caf\\xE9/r\xc3\xa9sultats/\\xED\\xA0\\x80</code>"), std::string::npos) << latin1;
  // A path too long for the system to tell.
  const std::string unknown = dx::index_page({p}, {"", "", 1, 0, ""});
  EXPECT_NE(unknown.find("<code>the working folder (the system cannot tell its path)</code>"), std::string::npos);
}

}  // namespace
