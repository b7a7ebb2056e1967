#include "maps/page.hpp"

#include <algorithm>

namespace dx {
namespace {

// The length of the UTF-8 character at `i` of `s`, 0 if the bytes there
// are not one (overlong forms and surrogates included).
std::size_t utf8_length(const std::string& s, std::size_t i) {
  const auto at = [&](std::size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
  const unsigned c = at(0);
  if (c < 0x80) return 1;
  const auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) { return at(k) >= lo && at(k) <= hi; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return cont(1, lo, hi) && cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

// `s` as text or an attribute value of the page: the characters HTML
// reads as markup as entities,
// and the bytes of a name that are not UTF-8 (the page declares UTF-8) as
// "\xE9", so that the name stays recognisable.
std::string html_text(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '&':
        out += "&amp;";
        ++i;
        continue;
      case '<':
        out += "&lt;";
        ++i;
        continue;
      case '>':
        out += "&gt;";
        ++i;
        continue;
      case '"':
        out += "&quot;";
        ++i;
        continue;
      default: break;
    }
    if (const std::size_t n = utf8_length(s, i); n > 0) {
      out.append(s, i, n);
      i += n;
      continue;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.append("\\x").push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
    ++i;
  }
  return out;
}

// The output folder as the page names it.
std::string folder_text(const PageHeader& h) {
  return h.folder.empty() ? "the working folder (the system cannot tell its path)" : h.folder;
}

std::string link(const std::string& href, const std::string& text) {
  return "<a href=\"" + html_text(href) + "\">" + html_text(text) + "</a>";
}

// The width of the thumbnails: three to a row in a window 1,400 pixels
// wide; the height keeps the pictures' shape.
constexpr int kShownWidth = 420;
constexpr int kShownHeight = kShownWidth * kPictureHeight / kPictureWidth;

// A picture's place on the page: its figure's id.
std::string anchor(const Picture& p) { return "p-" + p.name; }
// The place of the statistic `s` (0-based) on the page.
std::string section_id(std::size_t s) { return "s-" + std::to_string(s + 1); }
// A link to a place on the page.
std::string to_place(const std::string& id) { return std::string("#").append(id); }

// Whether a picture's panels come from several data sets (one time step
// of each) rather than from the time steps of one.
bool across_data_sets(const Picture& p) {
  return std::any_of(p.panels.begin(), p.panels.end(),
                     [&](const Panel& m) { return m.source != p.panels.front().source; });
}

// The pictures of one statistic whose panels are of one kind (see
// across_data_sets), in page order.
struct Block {
  std::vector<const Picture*> pictures;
  bool across = false;
};

struct Section {
  std::string group;
  std::vector<Block> blocks;
};

// The pictures by statistic, in the order their first picture comes.
std::vector<Section> sections_of(const std::vector<Picture>& pictures) {
  std::vector<Section> sections;
  for (const Picture& p : pictures) {
    auto s = std::find_if(sections.begin(), sections.end(), [&](const Section& x) { return x.group == p.group; });
    if (s == sections.end()) s = sections.insert(sections.end(), Section{p.group, {}});
    const bool across = across_data_sets(p);
    auto b = std::find_if(s->blocks.begin(), s->blocks.end(), [&](const Block& x) { return x.across == across; });
    if (b == s->blocks.end()) b = s->blocks.insert(s->blocks.end(), Block{{}, across});
    b->pictures.push_back(&p);
  }
  return sections;
}

// A picture's name in the contents, beside its statistic: what follows
// the words it shares with the statistic's name ("Drought frequency,
// period 3" in "Drought frequency by period" gives "period 3"), else its
// title.
std::string short_title(const Picture& p) {
  for (std::size_t end = p.group.size(); end != std::string::npos && end > 0; end = p.group.rfind(' ', end - 1)) {
    const std::string lead = p.group.substr(0, end) + ", ";
    if (p.title.size() > lead.size() && p.title.starts_with(lead)) return p.title.substr(lead.size());
  }
  return p.title;
}

// What the maps of a block's pictures are: "18 maps: PDSI, moderate …
// SPI-12, extreme".
std::string maps_words(const Block& b) {
  const std::vector<Panel>& panels = b.pictures.front()->panels;
  if (panels.empty()) return "";
  if (panels.size() == 1) return "1 map: " + panels.front().heading;
  return std::to_string(panels.size()) + " maps: " + panels.front().heading + (panels.size() == 2 ? "; " : " … ") +
         panels.back().heading;
}

// The paragraph under the page's heading: when, from where, the stations
// on the maps and those left off, how they are drawn.
std::string header(const std::vector<Picture>& pictures, const PageHeader& h) {
  std::string p = "<p>Made on " + html_text(h.when) + " from the outputs in <code>" + html_text(folder_text(h)) +
                  "</code>: " +
                  html_text(std::to_string(h.stations) + (h.stations == 1 ? " station" : " stations") + ", drawn as " +
                            h.drawing + ".");
  if (h.unusable > 0)
    p.append(" ").append(html_text(std::to_string(h.unusable) +
                                   (h.unusable == 1 ? " station without a usable position is left off the maps."
                                                    : " stations without a usable position are left off the maps.")));
  if (pictures.empty()) return p + "</p>\n";
  p += " Every picture shows one statistic, with one colour scale for all its maps: a map per time step of its GrADS "
       "data set";
  if (std::any_of(pictures.begin(), pictures.end(), across_data_sets))
    p += ", and for a statistic by period also one picture per drought class, a map per period";
  p += ". Click a picture to see it full size.</p>\n";
  if (h.explorer)
    p += "<p class=\"explorer\">" + link("explorer.html", "Explore the stations") +
         ": every station of every statistic on a map to zoom, with its value, its number and all its "
         "statistics as the text tables print them.</p>\n";
  return p;
}

// The statistics and their pictures, a row per statistic and kind of
// picture.
std::string contents(const std::vector<Section>& sections) {
  std::string html =
      "<h2 id=\"contents\">Contents</h2>\n<table class=\"contents\">\n"
      "<tr><th>Statistic</th><th>Pictures</th><th>Maps in each picture</th></tr>\n";
  for (std::size_t s = 0; s < sections.size(); ++s) {
    const Section& sec = sections[s];
    for (std::size_t b = 0; b < sec.blocks.size(); ++b) {
      html += "<tr>";
      if (b == 0)
        html += "<th rowspan=\"" + html_text(std::to_string(sec.blocks.size())) + "\">" +
                link(to_place(section_id(s)), sec.group) + "</th>";
      html += "<td>";
      for (const Picture* p : sec.blocks[b].pictures)
        html.append(p == sec.blocks[b].pictures.front() ? "" : " · ")
            .append(link(to_place(anchor(*p)), short_title(*p)));
      html += "</td><td class=\"maps\">" + html_text(maps_words(sec.blocks[b])) + "</td></tr>\n";
    }
  }
  return html + "</table>\n";
}

// A thumbnail that leads to the full-size picture, its title, and the
// files it was drawn from.
std::string figure(const Picture& p) {
  const std::string png = p.name + ".png";
  std::string html = "<figure id=\"" + html_text(anchor(p)) + "\"><a href=\"" + html_text(png) + "\"><img src=\"" +
                     html_text(png) + "\" alt=\"" + html_text(p.title) + "\" width=\"" +
                     html_text(std::to_string(kShownWidth)) + "\" height=\"" + html_text(std::to_string(kShownHeight)) +
                     "\" loading=\"lazy\"></a>\n<figcaption><strong>" + html_text(p.title) + "</strong><br>" +
                     link(png, "picture");
  if (p.sources.size() == 1) {
    const PanelSource& d = p.sources.front();
    if (!d.table.empty()) html.append(" · ").append(link("../" + d.table, "table " + d.table));
    html.append(" · ").append(link("../" + d.base + ".ctl", "GrADS " + d.base + ".ctl"));
  } else {
    html += " · GrADS";
    for (const PanelSource& d : p.sources) html.append(" ").append(link("../" + d.base + ".ctl", d.base));
  }
  return html.append(" · ").append(link(p.name + ".gs", "script")).append("</figcaption></figure>\n");
}

constexpr const char* kStyle =
    "<style>\n"
    "body { font-family: sans-serif; margin: 1em 2em; }\n"
    "h2 { margin-top: 1.5em; border-bottom: 1px solid #ccc; }\n"
    "table.contents { border-collapse: collapse; }\n"
    "table.contents th, table.contents td { text-align: left; vertical-align: top; padding: 0.3em 0.8em; "
    "border-top: 1px solid #ddd; }\n"
    "table.contents th { white-space: nowrap; }\n"
    "table.contents td.maps, table.contents a { white-space: nowrap; }\n"
    "table.contents td.maps, p.maps { color: #555; font-size: 90%; }\n"
    "div.pictures { display: grid; grid-template-columns: repeat(auto-fill, minmax(400px, 1fr)); gap: 1.5em 1em; }\n"
    "figure { margin: 0; }\n"
    "figure img { display: block; width: 100%; height: auto; border: 1px solid #ccc; }\n"
    "figcaption { font-size: 90%; margin-top: 0.3em; }\n"
    "p.back { margin-top: 1em; }\n"
    "a.top { position: fixed; top: 0.5em; right: 1em; background: #fff; border: 1px solid #ccc; "
    "padding: 0.2em 0.6em; font-size: 90%; }\n"
    "</style>\n";

}  // namespace

std::string index_page(const std::vector<Picture>& pictures, const PageHeader& h) {
  std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
                     html_text("Drought maps of " + folder_text(h)) + "</title>\n" + kStyle + "</head>\n<body>\n" +
                     "<h1>Drought maps</h1>\n" + header(pictures, h);
  if (pictures.empty())
    return html + "<p>No station has a usable position, so there is nothing to map.</p>\n</body>\n</html>\n";

  const std::vector<Section> sections = sections_of(pictures);
  html += "<a class=\"top\" href=\"#contents\">↑ contents</a>\n" + contents(sections);
  for (std::size_t s = 0; s < sections.size(); ++s) {
    const Section& sec = sections[s];
    html += "\n<h2 id=\"" + html_text(section_id(s)) + "\">" + html_text(sec.group) + "</h2>\n";
    for (const Block& b : sec.blocks) {
      if (const std::string maps = maps_words(b); !maps.empty())
        html += "<p class=\"maps\">" + html_text("In each picture, " + maps) + "</p>\n";
      html += "<div class=\"pictures\">\n";
      for (const Picture* p : b.pictures) html += figure(*p);
      html += "</div>\n";
    }
    html += "<p class=\"back\"><a href=\"#contents\">↑ back to contents</a></p>\n";
  }
  return html + "</body>\n</html>\n";
}

}  // namespace dx
