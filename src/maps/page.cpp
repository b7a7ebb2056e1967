#include "maps/page.hpp"

#include <algorithm>

namespace dx {
namespace {

// `s` as text or an attribute value of the page: the characters HTML
// gives a meaning escaped.
std::string html_text(const std::string& s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string link(const std::string& href, const std::string& text) {
  return "<a href=\"" + html_text(href) + "\">" + html_text(text) + "</a>";
}

// The width of the pictures on the page; the height keeps their shape.
constexpr int kShownWidth = 480;

}  // namespace

std::string index_page(const std::vector<Picture>& pictures, const PageHeader& h) {
  std::vector<std::string> groups;
  for (const Picture& p : pictures)
    if (std::find(groups.begin(), groups.end(), p.group) == groups.end()) groups.push_back(p.group);

  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Drought maps of " + html_text(h.folder) + "</title>\n"
      "<style>\n"
      "body { font-family: sans-serif; margin: 1em 2em; }\n"
      "figure { display: inline-block; margin: 0 1em 1.5em 0; vertical-align: top; width: " +
      std::to_string(kShownWidth) + "px; }\n"
      "figure img { border: 1px solid #ccc; }\n"
      "figcaption { font-size: 90%; }\n"
      "</style>\n</head>\n<body>\n<h1>Drought maps</h1>\n";
  html += "<p>Made on " + html_text(h.when) + " from the outputs in <code>" + html_text(h.folder) + "</code>: " +
          std::to_string(h.stations) + (h.stations == 1 ? " station" : " stations") + ", drawn as " +
          html_text(h.drawing) + ". Every picture shows one statistic, a panel per time step of its GrADS data set, " +
          "with one colour scale for all its panels.</p>\n";
  if (pictures.empty()) html += "<p>No station has a position, so there is nothing to map.</p>\n";
  html += "<ul>\n";
  for (std::size_t g = 0; g < groups.size(); ++g)
    html += "<li>" + link("#s" + std::to_string(g + 1), groups[g]) + "</li>\n";
  html += "</ul>\n";

  const int shown_height = kShownWidth * kPictureHeight / kPictureWidth;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    html += "\n<h2 id=\"s" + std::to_string(g + 1) + "\">" + html_text(groups[g]) + "</h2>\n";
    for (const Picture& p : pictures) {
      if (p.group != groups[g]) continue;
      const std::string png = p.name + ".png";
      html += "<figure>" + std::string("<a href=\"") + html_text(png) + "\"><img src=\"" + html_text(png) + "\" alt=\"" +
              html_text(p.title) + "\" width=\"" + std::to_string(kShownWidth) + "\" height=\"" +
              std::to_string(shown_height) + "\"></a>\n<figcaption>" + html_text(p.title) + "<br>" + link(png, "picture");
      if (p.sources.size() == 1) {
        const PanelSource& d = p.sources.front();
        if (!d.table.empty()) html.append(" · ").append(link("../" + d.table, "table " + d.table));
        html.append(" · ").append(link("../" + d.base + ".ctl", "GrADS " + d.base + ".ctl"));
      } else {
        html += " · GrADS";
        for (const PanelSource& d : p.sources) html.append(" ").append(link("../" + d.base + ".ctl", d.base));
      }
      html.append(" · ").append(link(p.name + ".gs", "script")).append("</figcaption></figure>\n");
    }
  }
  html += "</body>\n</html>\n";
  return html;
}

}  // namespace dx
