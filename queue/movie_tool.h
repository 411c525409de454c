// voxa_movie: authoring and watching the movies of the render queue.
//
//   create NAME --zb FILE.zb[,...] [--keys FILE | --orbit FRAMES,DX,DY --keys BASE]
//          --wall COLSxROWS --panel WxH [--bezel MM] [--pitch MM]
//          --dest HOST:DIR [--dest ...] [--options FILE]
//   status [NAME] [--watch]   list | reset NAME | delete NAME | files add HOST DIR
//
// The texts a movie row carries are built by the pure functions below (so
// tests can check them); RunVoxaMovie does the database work. One thread.
#pragma once

#include "platform/status.h"

#include <array>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace voxa::queue {

struct WallSpec {
    int columns = 1, rows = 1;
    int panelWidth = 0, panelHeight = 0;  // pixels
    double bezelMm = 0.0;                 // gap between neighbouring pictures
    double pitchMm = 0.25;                // size of one pixel
    double wallWorldWidth = 0.0;          // 0: 2 tan 17 deg (34 degrees at distance 1)
};

// The frusta text of a flat wall of equal panels, eye at the origin looking
// along +y at the plane y = 1, up +z: one "frustum" block per panel, row by
// row from the top left, each panel's world width the wall's width over
// the columns, bezels as gaps of bezelMm / pitchMm pixels.
std::string WallFrusta(const WallSpec& wall);

// The destinations text: panel n goes to dests[n % dests.size()]
// ("HOST:DIR" -> "HOST DIR"). Refuses a destination without ":" or with
// blanks.
Result<std::string> DestinationsText(const std::vector<std::string>& dests, int panels);

// Frame keyword texts of an orbit: the base text with its "eye" line
// rotated about the centre, around the up vector by dx degrees and about
// the horizontal axis by dy degrees per frame (frame 0 is the base view).
Result<std::vector<std::string>> OrbitKeywords(std::string_view base, int frames, double dx,
                                               double dy);

// Runs the program; exit status 0 ok, 1 failure, 2 bad arguments.
int RunVoxaMovie(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace voxa::queue
