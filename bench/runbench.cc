// runbench: times vantrel, on all CPUs and pinned to one, against the image
// library's serial floor and the tools a user would otherwise reach for, all
// doing the same job (every still to a 720x576 JPEG), and measures how
// vantrel's cost grows with the folder.
//
//   runbench --bin DIR [--corpus DIR] [--stills N] [--runs N] [--smoke]
//   runbench --bin DIR --fit [--megapixels M] [--corpus DIR] [--stills N] [--runs N]
//
// --fit times vantrel --fit against vantrel in back-to-back rounds, on the
// corpus stills of at least M megapixels (12 unless given; the corpus names
// carry their sizes, name_WxH.jpg).
//
// DIR holds vantrel, floor and makestills. Contenders run alternately, one
// warm-up each, then --runs timed rounds (7 unless given); the table gives
// medians. (Instruction counts are not taken: valgrind cannot run inside
// the workers' sandbox, whose filter applies to valgrind's own calls.)
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "script/script.h"
#include "slide/slide.h"
#include "testprocess.h"

namespace fs = std::filesystem;

namespace {

using sample = spawnresult;

// Runs argv in cwd with no input and output thrown away.
sample runonce(const std::vector<std::string>& argv, const fs::path& cwd) {
  return spawn(argv, cwd.string(), "/dev/null", "/dev/null");
}

bool installed(const std::string& program) { return runonce({"sh", "-c", "command -v " + program}, "/").status == 0; }

struct contender {
  std::string name;
  std::vector<std::string> argv;
  fs::path cwd;
  fs::path outdir;              // where the frames appear
  std::string outprefix;        // and how their names begin; they end in ".jpg"
  std::vector<sample> samples;  // timed runs
};

bool isframe(const fs::path& file, const std::string& prefix) {
  const std::string name = file.filename().string();
  return name.rfind(prefix, 0) == 0 && file.extension() == ".jpg";
}

sample runcontender(contender& c, size_t stills) {
  for (const auto& e : fs::directory_iterator(c.outdir))
    if (isframe(e.path(), c.outprefix)) fs::remove(e.path());
  const sample s = runonce(c.argv, c.cwd);
  size_t made = 0;
  for (const auto& e : fs::directory_iterator(c.outdir)) made += isframe(e.path(), c.outprefix);
  if (s.status != 0 || made != stills) {
    std::cerr << "runbench: " << c.name << " exited with " << s.status << " and made " << made << " of " << stills
              << " frames\n";
    std::exit(1);
  }
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// "DSC000042.JPG": the benchmark's still names, in creation-independent order.
std::string stillname(size_t n) {
  char name[32];
  std::snprintf(name, sizeof name, "DSC%06zu.JPG", n);
  return name;
}

std::string machine() {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int usable = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : -1;
  std::ifstream in("/proc/cpuinfo");
  std::string line, model = "unknown processor";
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  std::ifstream mem("/proc/meminfo");
  std::string memline;
  std::getline(mem, memline);
  const long long kib = memline.rfind("MemTotal:", 0) == 0 ? std::stoll(memline.substr(9)) : 0;
  char text[256];
  std::snprintf(text, sizeof text, "%s, %ld CPUs online, %d usable, %.1f GiB", model.c_str(),
                sysconf(_SC_NPROCESSORS_ONLN), usable, static_cast<double>(kib) / (1 << 20));
  return text;
}

// The megapixels a corpus name claims (name_WxH.jpg); 0 if it claims none.
double namedmegapixels(const fs::path& file) {
  unsigned w = 0, h = 0;
  const std::string name = file.stem().string();
  const size_t at = name.rfind('_');
  if (at == std::string::npos || std::sscanf(name.c_str() + at, "_%ux%u", &w, &h) != 2) return 0;
  return static_cast<double>(w) * h / 1e6;
}

// Fills dir with count stills named DSC...JPG: links to the corpus
// stills of at least minmegapixels in turn, or, without a corpus,
// camera-sized stills made here.
std::string makestillsfolder(const fs::path& dir, size_t count, const fs::path& corpus, const fs::path& bin,
                             double minmegapixels = 0) {
  fs::create_directories(dir);
  std::vector<fs::path> files;
  if (!corpus.empty() && fs::is_directory(corpus))
    for (const auto& e : fs::directory_iterator(corpus))
      if (e.path().extension() == ".jpg" && namedmegapixels(e.path()) >= minmegapixels) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  if (!files.empty()) {
    for (size_t i = 0; i < count; ++i) fs::create_symlink(files[i % files.size()], dir / stillname(i + 1));
    return std::to_string(count) + " stills: the " + std::to_string(files.size()) + " camera stills of " +
           corpus.string() + " in turn";
  }
  const fs::path tmp = dir.parent_path() / "made";
  if (runonce({(bin / "makestills").string(), tmp.string(), std::to_string(count)}, "/").status != 0) {
    std::cerr << "runbench: makestills failed\n";
    std::exit(1);
  }
  for (const auto& e : fs::directory_iterator(tmp))
    if (e.path().extension() == ".JPG") fs::rename(e.path(), dir / e.path().filename());  // not its notes.txt
  fs::remove_all(tmp);
  return std::to_string(count) +
         " stills synthesized by makestills (no corpus found): 4000x3000, 3000x4000, 4608x1976, 3264x2448";
}

// vantrel --fit against vantrel, alternating, on the same stills.
int benchfit(const fs::path& bin, const fs::path& corpus, size_t stills, int runs, double megapixels) {
  char pattern[] = "/tmp/vantrel-bench-XXXXXX";
  const fs::path work = mkdtemp(pattern), stilldir = work / "stills";
  std::cout << "vantrel --fit benchmark on " << machine() << "\n";
  std::cout << "input: " << makestillsfolder(stilldir, stills, corpus, bin, megapixels) << " (at least " << megapixels
            << " megapixels)\n";
  contender plain{"vantrel", {(bin / "vantrel").string()}, stilldir, stilldir, "out", {}};
  contender fit{"vantrel --fit", {(bin / "vantrel").string(), "--fit"}, stilldir, stilldir, "out", {}};
  runcontender(plain, stills);
  runcontender(fit, stills);
  std::vector<double> ratios, plainms, fitms;
  for (int r = 0; r < runs; ++r) {
    // Alternate which goes first.
    const double a = r % 2 ? runcontender(fit, stills).seconds : runcontender(plain, stills).seconds;
    const double b = r % 2 ? runcontender(plain, stills).seconds : runcontender(fit, stills).seconds;
    const double p = r % 2 ? b : a, f = r % 2 ? a : b;
    plainms.push_back(p * 1000 / static_cast<double>(stills));
    fitms.push_back(f * 1000 / static_cast<double>(stills));
    ratios.push_back(f / p);
  }
  std::printf(
      "%d rounds: vantrel %.1f ms a still, vantrel --fit %.1f ms (medians); --fit / default: median %.3f "
      "(min %.3f, max %.3f)\n",
      runs, median(plainms), median(fitms), median(ratios), *std::min_element(ratios.begin(), ratios.end()),
      *std::max_element(ratios.begin(), ratios.end()));
  fs::remove_all(work);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path bin, corpus = VANTREL_CORPUS;  // the build's, unless given
  size_t stills = 60;
  int runs = 7;
  bool smoke = false, fit = false;
  double megapixels = 12;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasvalue = i + 1 < argc;
    if (a == "--bin" && hasvalue)
      bin = fs::absolute(argv[++i]);
    else if (a == "--corpus" && hasvalue)
      corpus = fs::absolute(argv[++i]);
    else if (a == "--stills" && hasvalue)
      stills = std::stoul(argv[++i]);
    else if (a == "--runs" && hasvalue)
      runs = std::stoi(argv[++i]);
    else if (a == "--smoke")
      smoke = true;
    else if (a == "--fit")
      fit = true;
    else if (a == "--megapixels" && hasvalue)
      megapixels = std::stod(argv[++i]);
    else {
      std::cerr << "usage: runbench --bin DIR [--corpus DIR] [--stills N] [--runs N] [--smoke]\n"
                   "       runbench --bin DIR --fit [--megapixels M] [--corpus DIR] [--stills N] [--runs N]\n";
      return 2;
    }
  }
  if (fit) return benchfit(bin, corpus, smoke ? 3 : stills, smoke ? 1 : std::max(runs, 1), megapixels);
  if (smoke) {
    stills = 3;
    runs = 1;
  }
  char pattern[] = "/tmp/vantrel-bench-XXXXXX";
  const fs::path work = mkdtemp(pattern);
  const fs::path stilldir = work / "stills";

  std::cout << "vantrel benchmark on " << machine() << (smoke ? " (smoke mode: 3 stills, 1 run)" : "") << "\n";
  std::cout << "input: " << makestillsfolder(stilldir, stills, corpus, bin) << "\n";

  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(stilldir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  auto withnames = [&](std::vector<std::string> head) {
    head.insert(head.end(), names.begin(), names.end());
    return head;
  };

  std::vector<contender> contenders;
  contenders.push_back({"vantrel", {(bin / "vantrel").string()}, stilldir, stilldir, "out", {}});
  contenders.push_back(
      {"vantrel on one CPU", {"taskset", "-c", "0", (bin / "vantrel").string()}, stilldir, stilldir, "out", {}});
  contenders.push_back({"library floor", withnames({(bin / "floor").string()}), stilldir, stilldir, "out", {}});
  constexpr size_t floorat = 2;

  // The workers must not change a byte: vantrel's frames against the floor's.
  auto frames = [&](contender& c) {
    runcontender(c, stills);
    std::vector<std::string> bytes;
    for (size_t i = 1; i <= stills; ++i)
      bytes.push_back(readfile((stilldir / slidename(static_cast<int>(i))).string()));
    return bytes;
  };
  const bool identical = frames(contenders[0]) == frames(contenders[floorat]);
  std::cout << "frames: vantrel's are " << (identical ? "byte-identical to" : "DIFFERENT from")
            << " the library floor's\n";
  auto external = [&](const std::string& name, const std::string& program, const fs::path& out,
                      std::vector<std::string> head) {
    if (!installed(program)) {
      std::cout << "skipped " << name << ": " << program << " is not installed\n";
      return;
    }
    fs::create_directories(out);
    contenders.push_back({name, withnames(std::move(head)), stilldir, out, "DSC", {}});
  };
  const fs::path im = work / "imagemagick", gm = work / "graphicsmagick", vips = work / "vips";
  external("ImageMagick mogrify", "mogrify", im,
           {"mogrify", "-path", im.string(), "-format", "jpg", "-resize", "720x576!"});
  external("GraphicsMagick mogrify", "gm", gm,
           {"gm", "mogrify", "-output-directory", gm.string(), "-format", "jpg", "-resize", "720x576!"});
  external("vipsthumbnail", "vipsthumbnail", vips,
           {"vipsthumbnail", "--size", "720x576!", "-o", (vips / "%s.jpg").string()});

  for (contender& c : contenders) runcontender(c, stills);  // warm-up: caches, page cache
  for (int r = 0; r < runs; ++r)
    for (size_t k = 0; k < contenders.size(); ++k) {
      // Rotate the order each round so no contender always follows the same one.
      contender& c = contenders[(k + static_cast<size_t>(r)) % contenders.size()];
      c.samples.push_back(runcontender(c, stills));
    }

  struct summary {
    double median, min, max;  // milliseconds per still
    long peakkib;
  };
  auto summarize = [&](const contender& c) {
    std::vector<double> ms;
    long peakkib = 0;
    for (const sample& x : c.samples) {
      ms.push_back(x.seconds * 1000.0 / static_cast<double>(stills));
      peakkib = std::max(peakkib, x.maxrsskib);
    }
    return summary{median(ms), *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
                   peakkib};
  };
  std::vector<summary> results;
  for (const contender& c : contenders) results.push_back(summarize(c));
  const summary& base = results[floorat];

  std::printf(
      "\n%d timed runs each after a warm-up; milliseconds per still, peak resident memory (of the\n"
      "largest process: for vantrel, the driver or a worker)\n\n",
      runs);
  std::printf("| contender | median ms | min ms | max ms | peak RSS MiB | time / floor | RSS / floor |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (size_t k = 0; k < contenders.size(); ++k) {
    const summary& r = results[k];
    std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %.2f | %.2f |\n", contenders[k].name.c_str(), r.median, r.min,
                r.max, r.peakkib / 1024.0, r.median / base.median,
                static_cast<double>(r.peakkib) / static_cast<double>(base.peakkib));
  }

  // The floor comparisons need more runs than the table: rounds of
  // back-to-back runs of vantrel, vantrel on one CPU and the floor, in an
  // order rotated every round, so that each ratio compares runs that saw the
  // same machine load.
  std::vector<double> allratios, oneratios;
  const int rounds = smoke ? 1 : 15;
  for (int p = 0; p < rounds; ++p) {
    double seconds[3];
    for (size_t k = 0; k < 3; ++k) {
      const size_t which = (k + static_cast<size_t>(p)) % 3;
      seconds[which] = runcontender(contenders[which], stills).seconds;
    }
    allratios.push_back(seconds[0] / seconds[floorat]);
    oneratios.push_back(seconds[1] / seconds[floorat]);
  }
  const double pairedratio = median(allratios), pinnedratio = median(oneratios);
  auto spread = [&](const char* what, const std::vector<double>& v, double m) {
    std::printf("%s / library floor over %d back-to-back rounds: median ratio %.3f (min %.3f, max %.3f)\n", what,
                rounds, m, *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
  };
  std::printf("\n");
  spread("vantrel", allratios, pairedratio);
  spread("vantrel on one CPU", oneratios, pinnedratio);

  // Scale (a): a folder of empty qualifying names. Each fails to load at
  // once, so this times listing, sorting and the per-name bookkeeping.
  const size_t manynames = smoke ? 200 : 20000;
  const fs::path namesdir = work / "names";
  fs::create_directories(namesdir);
  for (size_t i = 0; i < manynames; ++i) std::ofstream(namesdir / stillname((i * 7919) % manynames));  // out of order
  std::vector<double> nametimes;
  runonce({(bin / "vantrel").string()}, namesdir);
  for (int r = 0; r < std::max(runs, 1); ++r) {
    const sample s = runonce({(bin / "vantrel").string()}, namesdir);
    if (s.status != 2) {
      std::cerr << "runbench: vantrel over empty names exited with " << s.status << ", not 2\n";
      return 1;
    }
    nametimes.push_back(s.seconds);
  }
  const double namesmedian = median(nametimes);

  // Scale (b): peak memory with few and many stills of one size.
  const size_t few = 10, many = smoke ? 30 : 1000;
  const fs::path one = fs::canonical(stilldir / names[std::min<size_t>(names.size() - 1, 6)]);
  auto rssfor = [&](size_t count) {
    const fs::path dir = work / ("same" + std::to_string(count));
    fs::create_directories(dir);
    for (size_t i = 0; i < count; ++i) fs::create_symlink(one, dir / stillname(i + 1));
    const sample s = runonce({(bin / "vantrel").string()}, dir);
    if (s.status != 0) {
      std::cerr << "runbench: vantrel over " << count << " stills exited with " << s.status << "\n";
      std::exit(1);
    }
    return s.maxrsskib;
  };
  const long rssfew = rssfor(few), rssmany = rssfor(many);

  // The commit: 100 small stills over the kit of an earlier run of 100, so
  // that every file of the kit is replaced, flushed and journaled; the
  // image work is small beside it.
  const size_t kitslides = smoke ? 5 : 100;
  const fs::path kitdir = work / "kit";
  fs::create_directories(kitdir);
  if (runonce({(bin / "makestills").string(), (work / "small").string(), std::to_string(kitslides), "16"}, "/")
          .status != 0) {
    std::cerr << "runbench: makestills failed\n";
    return 1;
  }
  for (const auto& e : fs::directory_iterator(work / "small"))
    if (e.path().extension() == ".JPG") fs::rename(e.path(), kitdir / e.path().filename());
  std::vector<double> kittimes;
  runonce({(bin / "vantrel").string()}, kitdir);
  for (int r = 0; r < std::max(runs, 1) * 3; ++r) {
    const sample s = runonce({(bin / "vantrel").string()}, kitdir);
    if (s.status != 0) {
      std::cerr << "runbench: vantrel over " << kitslides << " small stills exited with " << s.status << "\n";
      return 1;
    }
    kittimes.push_back(s.seconds);
  }
  std::printf("\ncommit: %zu small stills over an earlier kit of as many, a whole run in %.0f ms (median of %zu)\n",
              kitslides, median(kittimes) * 1000, kittimes.size());

  std::printf("\nscale: %zu qualifying names (empty files) listed and sorted in %.0f ms (median of %zu)\n", manynames,
              namesmedian * 1000, nametimes.size());
  std::printf("scale: peak RSS %.1f MiB at %zu stills, %.1f MiB at %zu stills (%s): ratio %.3f\n", rssfew / 1024.0, few,
              rssmany / 1024.0, many, one.filename().c_str(), static_cast<double>(rssmany) / rssfew);

  if (!smoke) {
    std::printf("\ntargets:\n");
    std::printf("  vantrel <= 0.52 x floor time (paired runs): %.3f, %s\n", pairedratio,
                pairedratio <= 0.52 ? "met" : "missed");
    std::printf("  vantrel on one CPU <= 0.97 x floor time (paired runs): %.3f, %s\n", pinnedratio,
                pinnedratio <= 0.97 ? "met" : "missed");
    std::printf("  frames byte-identical to the floor's: %s\n", identical ? "met" : "missed");
    for (size_t k = floorat + 1; k < contenders.size(); ++k) {
      const double m = results[k].median;
      std::printf("  vantrel faster than %s: %.2f x, %s\n", contenders[k].name.c_str(), m / results[0].median,
                  results[0].median < m ? "met" : "missed");
    }
    const double rssratio = static_cast<double>(results[0].peakkib) / static_cast<double>(base.peakkib);
    std::printf("  vantrel peak RSS <= 1.3 x floor: %.3f, %s\n", rssratio, rssratio <= 1.3 ? "met" : "missed");
    std::printf("  20,000 names under 1 s: %.0f ms, %s\n", namesmedian * 1000, namesmedian < 1.0 ? "met" : "missed");
    const double growth = static_cast<double>(rssmany) / rssfew;
    std::printf("  peak RSS at 1,000 stills within 5%% of 10: %.3f, %s\n", growth, growth <= 1.05 ? "met" : "missed");
  }
  fs::remove_all(work);
  return 0;
}
