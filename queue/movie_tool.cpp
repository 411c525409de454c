#include "queue/movie_tool.h"
#include "platform/sys.h"

#include "queue/frame_queue.h"
#include "queue/movie_setup.h"
#include "queue/queue_db.h"
#include "spool/progress_line.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <thread>

namespace voxa::queue {

namespace {

constexpr char kProgram[] = "voxa_movie";
constexpr double kPi = 3.14159265358979323846;

constexpr char kUsage[] =
    "Usage: voxa_movie COMMAND ...\n"
    "\n"
    "Authors and watches the movies of the render queue (settings from\n"
    "$VOXA_ROOT/VOXA_DEFAULT_SQL_QUEUE.txt: host user password [port|socket]).\n"
    "\n"
    "  create NAME --zb FILE.zb[,FILE.zb...] --wall COLSxROWS --panel WxH\n"
    "         --dest HOST:DIR [--dest HOST:DIR ...]\n"
    "         [--keys FILE | --orbit FRAMES,DX,DY --keys BASE]\n"
    "         [--bezel MM] [--pitch MM] [--options FILE] [--host NAME]\n"
    "      writes the movie, one frame per ZB file (with --keys the same view\n"
    "      for each) or FRAMES frames orbiting the BASE view by DX degrees\n"
    "      around the up vector and DY degrees up per frame (ZB files used in\n"
    "      turn); panel n goes to the n-th --dest (cycled), its movie file is\n"
    "      DIR/NAME_NN there; the ZB files are registered for this host (or\n"
    "      --host) in Files; the movie is ready (FilesCreated) at once\n"
    "  status [NAME] [--watch]  frames New / Started / Finished, nodes, frames per\n"
    "      minute and time to completion; --watch refreshes every 2 s until done\n"
    "  list                     the movies\n"
    "  reset NAME [--stale-seconds N]  claims older than N s (default 300; 0: all)\n"
    "                           go back to New\n"
    "  delete NAME              removes the movie and its frame table\n"
    "  files add HOST DIR       registers the .zb files in DIR as held by HOST\n"
    "\n"
    "Exit status: 0 done, 1 database or file failure, 2 bad arguments.\n";

bool ParseIntText(const std::string& s, int& out) {
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < -1000000 || v > 1000000) return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseDoubleText(const std::string& s, double& out) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool ParseSize(const std::string& s, char sep, int& a, int& b) {
    size_t at = s.find(sep);
    return at != std::string::npos && ParseIntText(s.substr(0, at), a) &&
           ParseIntText(s.substr(at + 1), b);
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

std::string Fmt(double v) {
    char b[64];
    std::snprintf(b, sizeof(b), "%.6g", v);
    return b;
}

struct Failure {
    int code;
};

Result<std::unique_ptr<QueueDb>> Open() {
    VOXA_ASSIGN_OR_RETURN(QueueSettings settings, ReadQueueSettings());
    VOXA_ASSIGN_OR_RETURN(auto db, QueueDb::ConnectQueueHost(settings));
    VOXA_TRY(db->UseOrCreateDatabase(settings.database));
    VOXA_TRY(db->CreateQueueTables());
    return db;
}

// Registers one ZB file of host: replaces an earlier row of the same name.
Status RegisterZb(QueueDb& db, const std::string& host, const std::string& path) {
    std::string abs = AbsolutePath(path);
    size_t slash = abs.rfind('/');
    std::string dir = abs.substr(0, slash);
    std::string name = abs.substr(slash + 1);
    VOXA_ASSIGN_OR_RETURN(uint64_t removed,
                          db.Execute("delete from " + std::string(kFilesTable) + " where host=" +
                                     db.Quote(host) + " and name=" + db.Quote(name)));
    (void)removed;
    VOXA_ASSIGN_OR_RETURN(uint64_t added,
                          db.Execute("insert into " + std::string(kFilesTable) +
                                     " (host,mount,dir,name) values (" + db.Quote(host) + ",''," +
                                     db.Quote(dir) + "," + db.Quote(name) + ")"));
    (void)added;
    return Status::Ok();
}

int Create(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    if (a.size() < 2) {
        err << kProgram << ": create needs a movie name\n";
        return 2;
    }
    const std::string name = a[1];
    std::vector<std::string> zbs, dests;
    std::string keysFile, optionsFile, host = LocalHostName();
    int frames = 0;
    double dx = 0, dy = 0;
    bool orbit = false;
    WallLayout wall;
    bool haveWall = false, havePanel = false;
    for (size_t i = 2; i < a.size(); ++i) {
        auto value = [&]() -> std::string {
            if (i + 1 >= a.size()) throw Failure{2};
            return a[++i];
        };
        const std::string& o = a[i];
        try {
            if (o == "--zb") {
                for (auto& z : Split(value(), ',')) zbs.push_back(z);
            } else if (o == "--keys") {
                keysFile = value();
            } else if (o == "--options") {
                optionsFile = value();
            } else if (o == "--host") {
                host = value();
            } else if (o == "--dest") {
                dests.push_back(value());
            } else if (o == "--wall") {
                if (!ParseSize(value(), 'x', wall.columns, wall.rows) || wall.columns < 1 ||
                    wall.rows < 1 || wall.columns * wall.rows > kMaxPanels) {
                    err << kProgram << ": --wall needs COLSxROWS with at most 100 panels\n";
                    return 2;
                }
                haveWall = true;
            } else if (o == "--panel") {
                if (!ParseSize(value(), 'x', wall.panelWidth, wall.panelHeight) ||
                    wall.panelWidth < 1 || wall.panelHeight < 1 || wall.panelWidth > 8192 ||
                    wall.panelHeight > 8192) {
                    err << kProgram << ": --panel needs WxH with sides from 1 to 8192\n";
                    return 2;
                }
                havePanel = true;
            } else if (o == "--bezel" || o == "--pitch") {
                double v = 0;
                if (!ParseDoubleText(value(), v) || v < 0 || (o == "--pitch" && v <= 0)) {
                    err << kProgram << ": " << o << " needs a non-negative number of millimetres\n";
                    return 2;
                }
                (o == "--bezel" ? wall.bezelMm : wall.pitchMm) = v;
            } else if (o == "--orbit") {
                auto parts = Split(value(), ',');
                if (parts.size() != 3 || !ParseIntText(parts[0], frames) || frames < 1 ||
                    frames > kMaxFrames || !ParseDoubleText(parts[1], dx) ||
                    !ParseDoubleText(parts[2], dy)) {
                    err << kProgram << ": --orbit needs FRAMES,DX,DY (1 to 10000 frames)\n";
                    return 2;
                }
                orbit = true;
            } else {
                err << kProgram << ": unknown argument '" << o << "'\n";
                return 2;
            }
        } catch (Failure) {
            err << kProgram << ": " << o << " needs a value\n";
            return 2;
        }
    }
    if (Status s = CheckMovieName(name); !s.ok()) {
        err << kProgram << ": " << s.message() << "\n";
        return 2;
    }
    if (zbs.empty() || !haveWall || !havePanel || dests.empty()) {
        err << kProgram << ": create needs --zb, --wall, --panel and --dest\n";
        return 2;
    }
    if (orbit && keysFile.empty()) {
        err << kProgram << ": --orbit needs --keys BASE\n";
        return 2;
    }
    for (const auto& z : zbs)
        if (access(z.c_str(), R_OK) != 0) {
            err << kProgram << ": cannot read the ZB file '" << z << "'\n";
            return 2;
        }
    std::string keys, options;
    if (!keysFile.empty() && !ReadFileText(keysFile, keys)) {
        err << kProgram << ": cannot read the keyword file '" << keysFile << "'\n";
        return 2;
    }
    if (!optionsFile.empty() && !ReadFileText(optionsFile, options)) {
        err << kProgram << ": cannot read the options file '" << optionsFile << "'\n";
        return 2;
    }
    if (!options.empty() && options.back() != '\n') options += '\n';
    std::vector<std::string> texts;
    if (orbit) {
        auto orbitTexts = OrbitKeywords(keys, frames, dx, dy);
        if (!orbitTexts.ok()) {
            err << kProgram << ": " << orbitTexts.status().message() << "\n";
            return 2;
        }
        texts = std::move(*orbitTexts);
    } else {
        texts.assign(zbs.size(), keys);
    }
    const int panels = wall.columns * wall.rows;
    auto destText = DestinationsText(dests, panels);
    if (!destText.ok()) {
        err << kProgram << ": " << destText.status().message() << "\n";
        return 2;
    }
    const std::string frusta = WallFrusta(wall);
    // The texts must parse as a node will parse them (window = one panel).
    auto check = ParseFrusta(frusta, wall.panelWidth, wall.panelHeight);
    if (!check.ok()) {
        err << kProgram << ": " << check.status().message() << "\n";
        return 2;
    }

    auto db = Open();
    if (!db.ok()) {
        err << kProgram << ": " << db.status().message() << "\n";
        return 1;
    }
    QueueDb& q = **db;
    auto fail = [&](const Status& s) {
        err << kProgram << ": " << s.message() << "\n";
        return 1;
    };
    auto exists = q.Query("select number from " + std::string(kMoviesTable) + " where name=" + q.Quote(name));
    if (!exists.ok()) return fail(exists.status());
    if (!exists->empty()) {
        err << kProgram << ": a movie named '" << name << "' exists (voxa_movie delete " << name << ")\n";
        return 1;
    }
    const std::string table = FrameTable(name);
    if (auto r = q.Execute("drop table if exists " + table); !r.ok()) return fail(r.status());
    if (auto r = q.Execute("create table " + table + " " + kFrameTableColumns); !r.ok())
        return fail(r.status());
    spool::ProgressLine progress(stdout, "frames", isatty(1) != 0);
    for (size_t f = 0; f < texts.size(); ++f) {
        std::string zb = zbs[f % zbs.size()];
        std::string base = zb.substr(zb.rfind('/') == std::string::npos ? 0 : zb.rfind('/') + 1);
        auto r = q.Execute("insert into " + table + " (number,zbfile,voxain,status) values (" +
                           std::to_string(f + 1) + "," + q.Quote(base) + "," + q.Quote(texts[f]) +
                           ",'New')");
        if (!r.ok()) return fail(r.status());
        progress.Update(f + 1, texts.size());
    }
    progress.End();
    for (const auto& z : zbs)
        if (Status s = RegisterZb(q, host, z); !s.ok()) return fail(s);
    auto r = q.Execute("insert into " + std::string(kMoviesTable) +
                       " (name,options,frusta,destinations,status) values (" + q.Quote(name) + "," +
                       q.Quote(options) + "," + q.Quote(frusta) + "," + q.Quote(*destText) + ",'" +
                       kStatusFilesCreated + "')");
    if (!r.ok()) return fail(r.status());
    out << kProgram << ": movie '" << name << "': " << texts.size() << " frames, " << panels
        << " panels of " << wall.panelWidth << "x" << wall.panelHeight << ", ready to render\n";
    return 0;
}

struct MovieCounts {
    std::string name, status;
    int fresh = 0, started = 0, finished = 0;
    std::map<std::string, int> nodes;  // node -> frames finished (started ones count 0)
    double seconds = 0;                // first claim to last finish
};

Result<MovieCounts> Count(QueueDb& q, const std::string& name, const std::string& status) {
    MovieCounts c;
    c.name = name;
    c.status = status;
    VOXA_ASSIGN_OR_RETURN(Rows rows, q.Query("select status,count(*) from " + FrameTable(name) +
                                             " group by status"));
    for (const Row& r : rows) {
        std::string s = r[0].value_or("");
        int n = std::atoi(r[1].value_or("0").c_str());
        if (s == kFrameNew) {
            c.fresh += n;
        } else if (s.rfind(kStartedBy, 0) == 0) {
            c.started += n;
            c.nodes.emplace(s.substr(sizeof(kStartedBy) - 1), 0);
        } else if (s.rfind(kFinishedBy, 0) == 0) {
            c.finished += n;
            c.nodes[s.substr(sizeof(kFinishedBy) - 1)] += n;
        }
    }
    VOXA_ASSIGN_OR_RETURN(Rows span, q.Query("select timestampdiff(second, min(start), max(finish)) from " +
                                             FrameTable(name) + " where status like 'Finished%'"));
    if (!span.empty() && span[0][0]) c.seconds = std::atof(span[0][0]->c_str());
    return c;
}

void PrintCounts(const MovieCounts& c, std::ostream& out) {
    const int total = c.fresh + c.started + c.finished;
    out << c.name << ": " << c.status << "  frames " << total << ": New " << c.fresh
        << ", Started " << c.started << ", Finished " << c.finished << "\n";
    if (!c.nodes.empty()) {
        out << "  nodes:";
        for (const auto& [node, n] : c.nodes) out << " " << node << " (" << n << ")";
        out << "\n";
    }
    if (c.finished > 0 && c.seconds > 0) {
        double perMinute = c.finished * 60.0 / c.seconds;
        out << "  " << Fmt(perMinute) << " frames per minute";
        if (c.fresh + c.started > 0)
            out << ", about " << static_cast<long long>((c.fresh + c.started) * 60.0 / perMinute + 0.5)
                << " s to completion";
        out << "\n";
    }
}

Result<Rows> Movies(QueueDb& q, const std::string& name) {
    std::string sql = "select number,name,status from " + std::string(kMoviesTable);
    if (!name.empty()) sql += " where name=" + q.Quote(name);
    return q.Query(sql + " order by number");
}

int StatusCommand(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    std::string name;
    bool watch = false;
    for (size_t i = 1; i < a.size(); ++i) {
        if (a[i] == "--watch") watch = true;
        else if (name.empty() && a[i].rfind("--", 0) != 0) name = a[i];
        else {
            err << kProgram << ": unknown argument '" << a[i] << "'\n";
            return 2;
        }
    }
    auto db = Open();
    if (!db.ok()) {
        err << kProgram << ": " << db.status().message() << "\n";
        return 1;
    }
    spool::ProgressLine bar(stdout, name.empty() ? "frames" : name, watch && isatty(1) != 0);
    while (true) {
        auto movies = Movies(**db, name);
        if (!movies.ok()) {
            err << kProgram << ": " << movies.status().message() << "\n";
            return 1;
        }
        if (movies->empty()) {
            err << kProgram << ": " << (name.empty() ? "no movies" : "no movie named '" + name + "'") << "\n";
            return 1;
        }
        int done = 0, total = 0;
        bool allComplete = true;
        std::ostringstream text;
        for (const Row& m : *movies) {
            auto c = Count(**db, m[1].value_or(""), m[2].value_or(""));
            if (!c.ok()) {
                text << m[1].value_or("") << ": " << m[2].value_or("") << "  ("
                     << c.status().message() << ")\n";
                continue;
            }
            PrintCounts(*c, text);
            done += c->finished;
            total += c->fresh + c->started + c->finished;
            allComplete = allComplete && c->status == kStatusCompleted;
        }
        if (!watch) {
            out << text.str();
            return 0;
        }
        bar.Update(static_cast<uint64_t>(done), static_cast<uint64_t>(std::max(total, 1)));
        if (allComplete) {
            bar.End();
            out << text.str();
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
}

int ListCommand(std::ostream& out, std::ostream& err) {
    auto db = Open();
    if (!db.ok()) {
        err << kProgram << ": " << db.status().message() << "\n";
        return 1;
    }
    auto movies = Movies(**db, "");
    if (!movies.ok()) {
        err << kProgram << ": " << movies.status().message() << "\n";
        return 1;
    }
    for (const Row& m : *movies)
        out << m[0].value_or("") << "\t" << m[1].value_or("(null)") << "\t" << m[2].value_or("(null)") << "\n";
    return 0;
}

int ResetOrDelete(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    const bool reset = a[0] == "reset";
    if (a.size() < 2) {
        err << kProgram << ": " << a[0] << " needs a movie name\n";
        return 2;
    }
    int stale = kDefaultStaleSeconds;
    for (size_t i = 2; i < a.size(); ++i) {
        if (reset && a[i] == "--stale-seconds" && i + 1 < a.size() && ParseIntText(a[i + 1], stale) &&
            stale >= 0) {
            ++i;
        } else {
            err << kProgram << ": unknown argument '" << a[i] << "'\n";
            return 2;
        }
    }
    const std::string& name = a[1];
    if (Status s = CheckMovieName(name); !s.ok()) {
        err << kProgram << ": " << s.message() << "\n";
        return 2;
    }
    auto db = Open();
    if (!db.ok()) {
        err << kProgram << ": " << db.status().message() << "\n";
        return 1;
    }
    QueueDb& q = **db;
    auto movies = Movies(q, name);
    if (!movies.ok() || movies->empty()) {
        err << kProgram << ": "
            << (movies.ok() ? "no movie named '" + name + "'" : movies.status().message()) << "\n";
        return 1;
    }
    if (reset) {
        auto r = q.Execute("update " + FrameTable(name) +
                           " set status='New', start=NULL where status like 'Started%' and start <= NOW() - INTERVAL " +
                           std::to_string(stale) + " SECOND");
        if (!r.ok()) {
            err << kProgram << ": " << r.status().message() << "\n";
            return 1;
        }
        out << kProgram << ": " << *r << " claims of '" << name << "' back to New\n";
        return 0;
    }
    auto r = q.Execute("drop table if exists " + FrameTable(name));
    if (r.ok()) r = q.Execute("delete from " + std::string(kMoviesTable) + " where name=" + q.Quote(name));
    if (!r.ok()) {
        err << kProgram << ": " << r.status().message() << "\n";
        return 1;
    }
    out << kProgram << ": movie '" << name << "' deleted\n";
    return 0;
}

int FilesAdd(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    if (a.size() != 4 || a[1] != "add") {
        err << kProgram << ": usage: files add HOST DIR\n";
        return 2;
    }
    const std::string& host = a[2];
    std::string dir = a[3];
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) {
        err << kProgram << ": cannot list the directory '" << dir << "'\n";
        return 2;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d.get())) {
        std::string n = e->d_name;
        if (n.size() > 3 && n.compare(n.size() - 3, 3, ".zb") == 0) names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    auto db = Open();
    if (!db.ok()) {
        err << kProgram << ": " << db.status().message() << "\n";
        return 1;
    }
    for (const auto& n : names)
        if (Status s = RegisterZb(**db, host, dir + "/" + n); !s.ok()) {
            err << kProgram << ": " << s.message() << "\n";
            return 1;
        }
    out << kProgram << ": " << names.size() << " ZB files of " << dir << " registered for " << host << "\n";
    return 0;
}

}  // namespace

std::string WallFrusta(const WallLayout& wall) {
    const double width = wall.wallWorldWidth > 0 ? wall.wallWorldWidth : 2.0 * std::tan(17.0 * kPi / 180.0);
    const double f = width / wall.columns;                     // world width of one panel
    const double unitsPerPixel = f / wall.panelWidth;
    const double gap = wall.bezelMm / wall.pitchMm * unitsPerPixel;
    const double h = wall.panelHeight * unitsPerPixel;
    std::ostringstream s;
    int n = 0;
    for (int r = 0; r < wall.rows; ++r)
        for (int c = 0; c < wall.columns; ++c) {
            double x = (c - (wall.columns - 1) / 2.0) * (f + gap);
            double z = ((wall.rows - 1) / 2.0 - r) * (h + gap);
            s << "frustum " << n++ << "\n"
              << "center " << Fmt(x) << " 1 " << Fmt(z) << "\n"
              << "up 0 0 1\n"
              << "normal 0 1 0\n"
              << "dimension " << wall.panelWidth << " " << wall.panelHeight << " " << Fmt(f) << "\n";
        }
    return s.str();
}

Result<std::string> DestinationsText(const std::vector<std::string>& dests, int panels) {
    if (dests.empty()) return InvalidArgument("no destination");
    std::string text;
    for (int n = 0; n < panels; ++n) {
        const std::string& d = dests[static_cast<size_t>(n) % dests.size()];
        size_t colon = d.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == d.size() ||
            d.find_first_of(" \t\r\n") != std::string::npos)
            return InvalidArgument("destination '" + d + "' is not HOST:DIR without blanks");
        text += d.substr(0, colon) + " " + d.substr(colon + 1) + "\n";
    }
    return text;
}

Result<std::vector<std::string>> OrbitKeywords(std::string_view base, int frames, double dx,
                                               double dy) {
    double eye[3] = {0, 0, 5}, center[3] = {0, 0, 0}, up[3] = {0, 1, 0};
    std::vector<std::string> kept;
    std::istringstream in{std::string(base)};
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        std::istringstream w(line);
        std::string key;
        w >> key;
        double* target = key == "eye" ? eye : key == "center" ? center : key == "up" ? up : nullptr;
        if (target != nullptr) {
            double v[3];
            if (!(w >> v[0] >> v[1] >> v[2])) return InvalidArgument("bad line '" + line + "'");
            std::copy(v, v + 3, target);
        }
        if (key != "eye") kept.push_back(line);
    }
    auto norm = [](double* v) {
        double l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        if (l > 0) for (int i = 0; i < 3; ++i) v[i] /= l;
        return l;
    };
    auto rotate = [](const double* v, const double* axis, double angle, double* out) {
        // Rodrigues' rotation of v about the unit axis.
        double c = std::cos(angle), s = std::sin(angle);
        double d = axis[0] * v[0] + axis[1] * v[1] + axis[2] * v[2];
        double cross[3] = {axis[1] * v[2] - axis[2] * v[1], axis[2] * v[0] - axis[0] * v[2],
                           axis[0] * v[1] - axis[1] * v[0]};
        for (int i = 0; i < 3; ++i) out[i] = v[i] * c + cross[i] * s + axis[i] * d * (1 - c);
    };
    double u[3] = {up[0], up[1], up[2]};
    if (norm(u) == 0) return InvalidArgument("the up vector is zero");
    double rel[3] = {eye[0] - center[0], eye[1] - center[1], eye[2] - center[2]};
    std::vector<std::string> texts;
    for (int f = 0; f < frames; ++f) {
        double a[3];
        rotate(rel, u, dx * f * kPi / 180.0, a);
        double side[3] = {u[1] * a[2] - u[2] * a[1], u[2] * a[0] - u[0] * a[2], u[0] * a[1] - u[1] * a[0]};
        double b[3] = {a[0], a[1], a[2]};
        if (norm(side) > 0) rotate(a, side, dy * f * kPi / 180.0, b);
        std::string text = "eye " + Fmt(center[0] + b[0]) + " " + Fmt(center[1] + b[1]) + " " +
                           Fmt(center[2] + b[2]) + "\n";
        for (const auto& k : kept) text += k + "\n";
        texts.push_back(text);
    }
    return texts;
}

int RunVoxaMovie(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << kUsage;
        return 2;
    }
    const std::string& cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        out << kUsage;
        return 0;
    }
    if (cmd == "create") return Create(args, out, err);
    if (cmd == "status") return StatusCommand(args, out, err);
    if (cmd == "list") return ListCommand(out, err);
    if (cmd == "reset" || cmd == "delete") return ResetOrDelete(args, out, err);
    if (cmd == "files") return FilesAdd(args, out, err);
    err << kProgram << ": unknown command '" << cmd << "'\nTry 'voxa_movie --help'.\n";
    return 2;
}

}  // namespace voxa::queue
