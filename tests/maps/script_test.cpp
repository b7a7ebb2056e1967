// The GrADS scripts of the pictures, without GrADS: quoting, numbers, the
// colours a script defines and uses, and how GrADS' output is read.
#include "maps/script.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/networks.hpp"

namespace {

TEST(Script, TextsAndNumbersGoInAsGradsReadsThem) {
  const std::vector<std::pair<std::string, std::string>> strings = {
      {"draw string 1 2 pdsi", "'draw string 1 2 pdsi'"},
      {"Sen's slope", "'Sen'\"'\"'s slope'"},
      {"''", "\"''\""},
      {"two\nlines", "'two lines'"},
      {"", "''"},
  };
  for (const auto& [text, gs] : strings) EXPECT_EQ(dx::gs_string(text), gs) << text;
  const std::vector<std::pair<double, std::string>> numbers = {
      {5.5, "5.5"}, {-0.0, "0"}, {101.5699997, "101.57"}, {5e-7, "5e-07"}, {0.877777777, "0.8777778"}};
  for (const auto& [x, text] : numbers) EXPECT_EQ(dx::gs_number(x), text) << x;
}

// Every colour number the panels and the colour bar use is one the script
// defines, with the scale's colour of that class.
TEST(Script, EveryClassIsDrawnInItsOwnColourOfTheScale) {
  dx::Store st = dxtest::network({{100, 10}, {101, 11}, {102, 14}});
  for (std::size_t s = 0; s < 3; ++s) st.FRE_ALL.data()[s] = 10.0f * static_cast<float>(s);
  const dx::MapFrame f = dx::map_frame(st, 3, dx::MapStyle::Auto);
  const std::vector<dx::Picture> pictures = dx::plan_pictures(st, dxtest::written(st), f);
  const dx::Picture& p = pictures[7];
  ASSERT_EQ(p.name, "Fre_all");
  const std::string gs = dx::picture_script(p, f);
  std::map<int, dx::Rgb> defined;
  std::vector<int> ccols, bar;
  std::istringstream in(gs);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line.substr(std::min<std::size_t>(line.size(), 1)));
    std::string w1, w2;
    words >> w1 >> w2;
    if (w1 == "set" && w2 == "rgb") {
      int n;
      dx::Rgb c{};
      words >> n >> c.r >> c.g >> c.b;
      defined[n] = c;
    } else if (w1 == "set" && w2 == "ccols" && ccols.empty()) {
      for (int n; words >> n;) ccols.push_back(n);
    } else if (w1 == "set" && w2 == "line") {
      int n;
      if (words >> n && n >= 16) bar.push_back(n);
    }
  }
  ASSERT_EQ(ccols.size(), p.scale.colours.size()) << gs;
  EXPECT_EQ(bar, ccols);
  for (std::size_t k = 0; k < ccols.size(); ++k) {
    ASSERT_TRUE(defined.count(ccols[k])) << "colour " << ccols[k] << " is not defined";
    EXPECT_EQ(defined[ccols[k]], p.scale.colours[k]) << k;
  }
  // The picture goes to the folder given as the script's argument.
  EXPECT_NE(gs.find("run('gxprint 'dir'/Fre_all.png x1600 y1236 white')"), std::string::npos) << gs;
}

// The script of a picture of `positions` with one missing value in its
// second panel.
std::string script_of(const std::string& name, const std::vector<std::pair<float, float>>& positions) {
  dx::Store st = dxtest::network(positions);
  for (std::size_t k = 0; k < 6; ++k) st.SENSL(0, k) = -0.01f, st.SENSL(1, k) = 0.02f;
  st.SENSL(0, 1) = -9999.0f;
  st.PROB(0, 0) = 0.3f, st.PROB(1, 0) = 0.001f;
  const dx::MapFrame f = dx::map_frame(st, positions.size(), dx::MapStyle::Cressman);
  for (const dx::Picture& p : dx::plan_pictures(st, dxtest::written(st), f))
    if (p.name == name) return dx::picture_script(p, f);
  ADD_FAILURE() << "no picture " << name;
  return "";
}

TEST(Script, DrawsWhatThePlanSaysInTheOrderThatShowsIt) {
  const std::vector<std::pair<float, float>> country = {{4, 51}, {7, 53}}, arctic = {{0, 90}, {100, 70}},
                                             antarctic = {{0, -90}, {50, -70}};
  EXPECT_NE(script_of("Fre_all", country).find("'set mproj scaled'"), std::string::npos);
  EXPECT_NE(script_of("Fre_all", arctic).find("'set mproj nps'"), std::string::npos);
  EXPECT_NE(script_of("Fre_all", antarctic).find("'set mproj sps'"), std::string::npos);
  EXPECT_NE(script_of("Fre_all", country).find("'set mpdset hires'"), std::string::npos);

  // p-values as marks whatever the drawing (here a Cressman analysis), from the data set
  // that holds them in the order to draw them.
  const std::string prob = script_of("Prob", country);
  EXPECT_EQ(prob.find("oacres"), std::string::npos) << prob;
  EXPECT_NE(prob.find("run('open 'dir'/Prob_by_p.ctl')"), std::string::npos) << prob;
  EXPECT_NE(prob.find("'set gxout stnmark'\n'set cmark 3'"), std::string::npos);
  EXPECT_NE(prob.find("run('d Prob_by_p.3(t=1)')"), std::string::npos) << prob;
  // The trends: drawn on the grid, the significant stations ringed from
  // Prob at the same step, the missing value marked in its panel only.
  const std::string sensl = script_of("Sensl", country);
  EXPECT_NE(sensl.find("run('open Prob.ctl')"), std::string::npos);
  EXPECT_NE(sensl.find("d oacres("), std::string::npos);
  // Files: Sensl 1, Prob 2, the grid 3, then the draw sets in the order
  // they were first needed: the rings (panel 1), the missing values (panel 2).
  EXPECT_NE(sensl.find("'set ccolor 1'\nrun('d Sensl_rings.4(t=1)')"), std::string::npos) << sensl;
  const std::size_t panel2 = sensl.find("* Panel 2"), panel3 = sensl.find("* Panel 3");
  const std::size_t missing = sensl.find("run('d Sensl_missing.5(t=2)')");
  EXPECT_TRUE(missing > panel2 && missing < panel3) << sensl;
  // Panel 2 holds one value (the other is missing), which a grid would
  // leave blank: its stations as marks, in the colour of its class.
  const std::string one_value = sensl.substr(panel2, panel3 - panel2);
  EXPECT_EQ(one_value.find("oacres"), std::string::npos) << one_value;
  EXPECT_NE(one_value.find("'set gxout stnmark'"), std::string::npos) << one_value;
  EXPECT_NE(one_value.find("run('d Sensl.1')"), std::string::npos) << one_value;
  EXPECT_EQ(sensl.find("Sensl_missing.5", missing + 10), std::string::npos);
  EXPECT_NE(sensl.find("missing value'"), std::string::npos);  // in the legend
  // No GrADS function of two station fields: its cost is the square of
  // the station count.
  for (const std::string* gs : {&prob, &sensl}) EXPECT_EQ(gs->find("maskout("), std::string::npos);
  EXPECT_EQ(sensl.find("Sensl_rings.4(t=2)"), std::string::npos);  // no station significant in panel 2
}

TEST(Script, GradsOutputTellsWhatFailed) {
  struct Case {
    std::string output;
    int status;
    std::string failure;
    int signal = 0;
  };
  const Case cases[] = {
      {"Running in Batch mode\nDX-DONE\nGX Package Terminated\n", 0, ""},
      // The command and GrADS' message, up to the next mark.
      {"DX-FAIL open Fre_all.ctl\n  Open Error:  Can't open description file  \n\nDX-DONE\n", 99,
       "'open Fre_all.ctl' failed: Open Error:  Can't open description file"},
      // No end mark: GrADS stopped, its last words said; 99 is GrADS' own.
      {"Running in Batch mode\nSegmentation fault\n", 139,
       "GrADS stopped before the end of its script (status 139): Segmentation fault"},
      {"Running in Batch mode\n", 99, "GrADS stopped before the end of its script: Running in Batch mode"},
      {"", 1, "GrADS stopped before the end of its script (status 1)"},
      // The line that says what failed, not GrADS' last words.
      {"GX Package Error: Could not find a record for the printing plug-in named \"Cairo\"\n"
       "  * The environment variable GAUDPT has not been set\nGX Package Terminated\n",
       1,
       "GrADS stopped before the end of its script (status 1): GX Package Error: Could not find a record for the "
       "printing plug-in named \"Cairo\""},
      {"Running in Batch mode\n", 128 + SIGXFSZ,
       "GrADS stopped before the end of its script (ended by signal 25, File size limit exceeded): Running in Batch "
       "mode",
       SIGXFSZ},
      // Drawn without coasts: GrADS reaches the end, but says in passing.
      {"Open Error on Map Data Set: /gaddir/lowres\nDX-DONE\n", 0,
       "GrADS cannot read its map data set of coasts and borders (Open Error on Map Data Set: /gaddir/lowres); "
       "check the GrADS installation (GADDIR)"},
      // A line without end is cut to a readable length.
      {"Error: " + std::string(5000, 'x') + "\n", 1,
       "GrADS stopped before the end of its script (status 1): Error: " + std::string(193, 'x') + "..."},
  };
  for (const Case& c : cases)
    EXPECT_EQ(dx::script_failure(c.output, c.status, c.signal), c.failure) << c.output.substr(0, 300);
}

}  // namespace
