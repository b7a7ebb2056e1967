#pragma once
// maps/index.html: one page that shows every picture as a thumbnail,
// grouped by statistic, each linked to its full-size picture, its text
// table, its GrADS data sets and the script that drew it; a contents table
// at the top leads to every statistic and picture, and every statistic
// ends with a link back.  The thumbnails load as they are scrolled to.
// Self-contained: no script, nothing from elsewhere, its style in the page.
#include <cstddef>
#include <string>
#include <vector>

#include "maps/plan.hpp"

namespace dx {

struct PageHeader {
  std::string when;    // "2024-05-01 14:03"
  std::string folder;  // the output folder, absolute; "" for the working folder where the system cannot tell its path
  std::size_t stations = 0;  // on the maps
  std::size_t unusable = 0;  // without a usable position, left off
  std::string drawing;       // drawing_words()
  bool explorer = false;     // explorer.html is beside the page
};

std::string index_page(const std::vector<Picture>& pictures, const PageHeader& h);

}  // namespace dx
