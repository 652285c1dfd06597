// The explorer: stories drawn at random from one seed each, told to the engine
// on the kernel model, and held to the oracle's rules. A story that breaks one
// is shrunk to the fewest steps that still break it the same way, and printed
// as a row of tests/change_tracker_test.cpp. A seed fails the same way every
// time, on any machine.
//
//   pathwarden_explorer [--kernel inotify|fanotify|both] [--first-seed N]
//                       [--stories N | --seconds S | --operations N] [--until-fault]
//                       [--ignore SEED,SEED...]
//   pathwarden_explorer --kernel K --tree TREE --steps STEPS   (one story, told)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/sim/oracle.h"

namespace {

using Kernel = KernelModel::Kernel;

// Names that share their start, with characters that sort before '/', the
// way real trees have them (clang beside clang-tools, x beside x-1.0).
const char* const kNames[] = {"a", "a-b", "a.c", "ab", "a+", "b", "b-1", "x", "x-1.0", "d", "d.d", "e", "f"};

struct Draw {
    std::mt19937_64 rng;
    // Faults live where the same few entries change again and again in a
    // short while: the paths the last steps made, moved or let go are drawn
    // more often than the rest of the tree.
    std::vector<std::string> recent;
    std::vector<std::string> vacated;
    size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
    bool chance(int percent) { return below(100) < static_cast<size_t>(percent); }
    const char* name() { return kNames[below(sizeof kNames / sizeof kNames[0])]; }
    template <class T> const T& pick(const std::vector<T>& from) { return from[below(from.size())]; }
    void remember(std::vector<std::string>& list, const std::string& path) {
        list.push_back(path);
        if (list.size() > 4) list.erase(list.begin());
    }
    /// Notes the paths a change names: "mv A B", "rm [-r] A", "touch/mkdir [-p] P".
    void noteChange(const std::string& change) {
        std::vector<std::string> words;
        for (size_t at = 0, end; at < change.size(); at = end + 1) {
            end = change.find(' ', at);
            if (end == std::string::npos) end = change.size();
            if (change[at] != '-') words.push_back(change.substr(at, end - at));
        }
        if (words.size() < 2 || words[1].rfind("~/", 0) == 0) return;
        if (words[0] == "mv" && words.size() == 3) {
            remember(vacated, words[1]);
            if (words[2].rfind("~/", 0) != 0) remember(recent, words[2]);
        } else if (words[0] == "rm") {
            remember(vacated, words[1]);
        } else if (words[0] == "touch" || words[0] == "mkdir") {
            remember(recent, words[1]);
        }
    }
};

struct Plan {
    std::string tree;
    std::vector<std::string> steps;
    StoryOptions options;
};

// The steps every story ends with, so that everything queued is read, a
// move's lone first half is given up, and the queue is seen empty after the
// last look at the disk, twice over: a look made then may itself be raced.
const char* const kEnding[] = {"read", "later 10", "read", "later 10", "read", "read"};

std::string startTree(Draw& draw) {
    std::vector<std::string> paths;
    std::string tree;
    const size_t entries = draw.below(30);
    for (size_t i = 0; i < entries; ++i) {
        const std::string parent = paths.empty() || draw.chance(30) ? "" : draw.pick(paths) + "/";
        const std::string path = parent + draw.name();
        const bool isDirectory = draw.chance(55);
        if (isDirectory) paths.push_back(path);
        tree += (tree.empty() ? "" : " ") + path + (isDirectory ? "/" : "");
        if (draw.chance(15)) tree += std::string(" ~/") + draw.name() + (draw.chance(50) ? "/" : "");
    }
    return tree;
}

// A place for an entry: in a directory below the root, in the root, or
// beside the tree.
std::string place(Draw& draw, KernelModel& model) {
    const std::vector<std::string> dirs = model.entries(false, true);
    if (draw.chance(10)) return std::string("~/") + draw.name();
    if (!draw.vacated.empty() && draw.chance(20)) return draw.pick(draw.vacated);
    if (!draw.recent.empty() && draw.chance(10)) return draw.pick(draw.recent);  // over what a step just made
    if (!draw.recent.empty() && draw.chance(20)) return draw.pick(draw.recent) + "/" + draw.name();
    if (dirs.empty() || draw.chance(25)) return draw.name();
    return draw.pick(dirs) + "/" + draw.name();
}

std::string anyEntry(Draw& draw, KernelModel& model, bool outside = false) {
    if (!draw.recent.empty() && draw.chance(35)) return draw.pick(draw.recent);
    const std::vector<std::string> all = model.entries(outside, false);
    return all.empty() ? std::string(draw.name()) : draw.pick(all);
}

std::string drawChange(Draw& draw, KernelModel& model);

std::string change(Draw& draw, KernelModel& model) {
    std::string drawn = drawChange(draw, model);
    draw.noteChange(drawn);
    return drawn;
}

std::string drawChange(Draw& draw, KernelModel& model) {
    switch (draw.below(14)) {
    case 0:
    case 1: return "touch " + place(draw, model);
    case 2: return "write " + anyEntry(draw, model);
    case 3: return "chmod " + anyEntry(draw, model);
    case 4: return "rm " + anyEntry(draw, model);
    case 5: return "mkdir " + place(draw, model);
    case 6: {
        std::string chain = place(draw, model);
        for (size_t depth = draw.below(3) + 1; depth > 0; --depth) chain += std::string("/") + draw.name();
        return "mkdir -p " + chain;
    }
    case 7: return "rm -r " + anyEntry(draw, model);
    case 8: return "mv ~/" + std::string(draw.name()) + " " + place(draw, model);
    case 9: return "mv " + anyEntry(draw, model) + " ~/" + draw.name();
    case 10: {
        // A rename in place, over what may be there.
        const std::string from = anyEntry(draw, model);
        const size_t slash = from.rfind('/');
        return "mv " + from + " " + (slash == std::string::npos ? "" : from.substr(0, slash + 1)) + draw.name();
    }
    default: {
        // A move to another directory, often under the same name.
        const std::string from = anyEntry(draw, model);
        std::string to = place(draw, model);
        if (draw.chance(30)) to = to.substr(0, to.rfind('/') + 1) + from.substr(from.rfind('/') + 1);
        return "mv " + from + " " + to;
    }
    }
}

std::string step(Draw& draw, KernelModel& model, Kernel kernel, bool& hooked, bool& overflowed) {
    const size_t roll = draw.below(100);
    if (roll < 12) return "read";
    if (roll < 17) return "read " + std::to_string(draw.below(400) + 1);
    if (roll < 20) return "later " + std::to_string(draw.below(8) + 1);
    if (roll < 26 && !overflowed) {
        hooked = true;
        static const char* const moments[] = {"watching", "listing", "looking", "learning"};
        const std::vector<std::string> dirs = model.entries(false, true);
        const std::string at = dirs.empty() || draw.chance(20) ? place(draw, model) : draw.pick(dirs);
        return std::string(moments[draw.below(kernel == Kernel::Fanotify ? 4 : 2)]) + " " + at + ": " +
               change(draw, model);
    }
    if (roll == 27 && kernel == Kernel::Inotify && draw.chance(2)) return "torn";
    if (roll < 28) return "pid " + std::to_string(draw.below(3) + 1);
    if (roll == 28 && draw.chance(3)) return "rm -r .";
    if (roll < 29) return "hold " + anyEntry(draw, model);
    // Changes made while the tree is walked again after an overflow are
    // where a reader's own fresh look and the report cannot agree: stories
    // with an overflow make none.
    if (roll < 30 && kernel == Kernel::Inotify && draw.chance(10) && !hooked) {
        overflowed = true;
        return "overflow";
    }
    return change(draw, model);
}

// A directory's trip through one made just now, not watched yet, changed
// there, and back beside where it was, over what may be there: the shape of
// an editor's or a package manager's swap, which one step at a time rarely draws.
std::vector<std::string> excursion(Draw& draw, KernelModel& model) {
    const std::vector<std::string> dirs = model.entries(false, true);
    if (dirs.empty()) return {};
    const std::string from = draw.pick(dirs);
    const std::string parent = from.substr(0, from.rfind('/') + 1);
    const std::string away = (draw.chance(30) ? std::string("~/") : parent) + draw.name() + "/" + draw.name();
    const std::string back = parent + draw.name();
    std::vector<std::string> steps;
    if (draw.chance(50)) steps.push_back("mkdir " + back);
    steps.push_back("mkdir -p " + away.substr(0, away.rfind('/')));
    steps.push_back("mv " + from + " " + away);
    steps.push_back("touch " + away + "/" + draw.name());
    if (draw.chance(50)) steps.push_back("rm " + steps.back().substr(6));
    steps.push_back("mv " + away + " " + back);
    return steps;
}

// Draws one story and tells it; fault receives what the oracle found.
Plan tell(uint64_t seed, Kernel kernel, size_t& operations, std::string& fault) {
    Draw draw{std::mt19937_64(seed * 2 + (kernel == Kernel::Fanotify ? 1 : 0)), {}, {}};
    Plan plan;
    plan.options.kernel = kernel;
    if (draw.chance(30)) plan.options.readBytes = 1536 + draw.below(4096);
    plan.tree = startTree(draw);
    Story story(plan.tree, plan.options);
    fault.clear();
    if (!story.started()) return plan;
    // Now and then watch descriptors go round soon, as the kernel's do after
    // two thousand million watches.
    if (kernel == Kernel::Inotify && draw.chance(5)) {
        plan.steps.push_back("wds " + std::to_string(100 + draw.below(100)));
        story.perform(plan.steps.back());
    }
    const size_t length = 10 + draw.below(draw.chance(20) ? 300 : 60);
    bool hooked = false, overflowed = false;
    for (size_t i = 0; i < length; ++i) {
        const std::vector<std::string> next =
            draw.chance(3) ? excursion(draw, story.model()) : std::vector<std::string>{step(draw, story.model(), kernel, hooked, overflowed)};
        for (const std::string& each : next) {
            if (story.perform(each)) plan.steps.push_back(each);
        }
    }
    for (const char* each : kEnding) story.perform(each);
    operations += length;
    fault = firstFault(story);
    return plan;
}

/// The fault the plan's story shows; empty when none.
std::string run(const Plan& plan, std::string* records = nullptr) {
    Story story(plan.tree, plan.options);
    if (!story.started()) return "";
    for (const std::string& each : plan.steps) story.perform(each);
    for (const char* each : kEnding) story.perform(each);
    if (records != nullptr) *records = story.joined();
    return firstFault(story);
}

std::string kindOf(const std::string& fault) { return fault.substr(0, fault.find_first_of("(:")); }

// The fewest steps, and entries of the starting tree, that still show a
// fault of the same kind: chunks of steps are left out while one can be.
Plan shrink(Plan plan, const std::string& fault) {
    const std::string kind = kindOf(fault);
    const auto stillFails = [&](const Plan& candidate) { return kindOf(run(candidate)) == kind; };
    for (size_t chunk = plan.steps.size() / 2; chunk >= 1; chunk /= 2) {
        for (size_t at = 0; at + chunk <= plan.steps.size();) {
            Plan candidate = plan;
            candidate.steps.erase(candidate.steps.begin() + at, candidate.steps.begin() + at + chunk);
            if (stillFails(candidate)) {
                plan = candidate;
            } else {
                at += chunk;
            }
        }
    }
    std::vector<std::string> entries;
    for (size_t at = 0, end; at < plan.tree.size(); at = end + 1) {
        end = plan.tree.find(' ', at);
        if (end == std::string::npos) end = plan.tree.size();
        entries.push_back(plan.tree.substr(at, end - at));
    }
    for (size_t i = entries.size(); i-- > 0;) {
        Plan candidate = plan;
        candidate.tree.clear();
        for (size_t j = 0; j < entries.size(); ++j) {
            if (j != i && !entries[j].empty()) candidate.tree += (candidate.tree.empty() ? "" : " ") + entries[j];
        }
        if (stillFails(candidate)) {
            plan = candidate;
            entries[i].clear();
        }
    }
    if (plan.options.readBytes != StoryOptions().readBytes) {
        Plan candidate = plan;
        candidate.options.readBytes = StoryOptions().readBytes;
        if (stillFails(candidate)) plan = candidate;
    }
    return plan;
}

void report(uint64_t seed, const Plan& found, const std::string& fault) {
    const Plan small = shrink(found, fault);
    std::string records;
    const std::string shown = run(small, &records);
    std::string steps;
    for (const std::string& each : small.steps) steps += each + "; ";
    for (size_t i = 0; i < std::size(kEnding); ++i) steps += std::string(kEnding[i]) + (i + 1 < std::size(kEnding) ? "; " : "");
    const bool inotify = small.options.kernel == Kernel::Inotify;
    std::printf("seed %llu (%s): %s\n", static_cast<unsigned long long>(seed), inotify ? "inotify" : "fanotify",
                fault.c_str());
    std::printf("  shrunk to %zu steps: %s\n", small.steps.size(), shown.c_str());
    if (small.options.readBytes != StoryOptions().readBytes)
        std::printf("  (reads of at most %zu bytes: --read-bytes %zu)\n", small.options.readBytes,
                    small.options.readBytes);
    std::printf("    {\"seed %llu\", \"%s\", \"%s\", %s, %s},\n", static_cast<unsigned long long>(seed),
                small.tree.c_str(), steps.c_str(), inotify ? "kAny" : "kSkip", inotify ? "kSkip" : "kAny");
    std::printf("  records: %s\n", records.c_str());
}

struct Budget {
    std::string tree;
    std::string steps;
    uint64_t firstSeed = 1;
    uint64_t stories = 0;
    double seconds = 0;
    uint64_t operations = 0;
    int kernels = 3;  // 1 inotify, 2 fanotify
    size_t readBytes = 0;  // a given story's reads; 0: the default
    bool untilFault = false;
    std::set<uint64_t> ignored;  // seeds known to fail, left out
};

Budget parse(int argc, char** argv) {
    Budget budget;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--until-fault") {
            budget.untilFault = true;
            continue;
        }
        const char* value = i + 1 < argc ? argv[++i] : "";
        if (flag == "--first-seed") budget.firstSeed = std::strtoull(value, nullptr, 10);
        else if (flag == "--stories") budget.stories = std::strtoull(value, nullptr, 10);
        else if (flag == "--seconds") budget.seconds = std::strtod(value, nullptr);
        else if (flag == "--operations") budget.operations = std::strtoull(value, nullptr, 10);
        else if (flag == "--ignore") {
            for (const char* at = value; *at != 0; at = std::strchr(at, ',') ? std::strchr(at, ',') + 1 : "")
                budget.ignored.insert(std::strtoull(at, nullptr, 10));
        }
        else if (flag == "--tree") budget.tree = value;
        else if (flag == "--steps") budget.steps = value;
        else if (flag == "--read-bytes") budget.readBytes = std::strtoull(value, nullptr, 10);
        else if (flag == "--kernel") budget.kernels = std::strcmp(value, "inotify") == 0 ? 1 : std::strcmp(value, "fanotify") == 0 ? 2 : 3;
        else std::fprintf(stderr, "unknown flag %s\n", flag.c_str()), std::exit(2);
    }
    if (budget.stories == 0 && budget.seconds == 0 && budget.operations == 0) budget.stories = 1000;
    return budget;
}

// One story given on the command line, told and judged.
int tellGiven(const Budget& budget) {
    StoryOptions options;
    options.kernel = budget.kernels == 2 ? Kernel::Fanotify : Kernel::Inotify;
    if (budget.readBytes != 0) options.readBytes = budget.readBytes;
    Story story(budget.tree, options);
    story.performAll(budget.steps);
    const std::string fault = firstFault(story);
    std::printf("%s\n%s\n", story.joined().c_str(), fault.empty() ? "no fault" : fault.c_str());
    return fault.empty() ? 0 : 1;
}

int explore(const Budget& budget) {
    const auto began = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(); };
    size_t operations = 0, stories = 0, failures = 0;
    for (uint64_t seed = budget.firstSeed; !(budget.untilFault && failures > 0); ++seed) {
        if (budget.stories != 0 && stories >= budget.stories) break;
        if (budget.seconds != 0 && elapsed() >= budget.seconds) break;
        if (budget.operations != 0 && operations >= budget.operations) break;
        if (budget.ignored.count(seed) != 0) continue;
        for (const Kernel kernel : {Kernel::Inotify, Kernel::Fanotify}) {
            if (!(budget.kernels & (kernel == Kernel::Inotify ? 1 : 2))) continue;
            std::string fault;
            const Plan plan = tell(seed, kernel, operations, fault);
            ++stories;
            if (fault.empty()) continue;
            if (++failures == 1 && budget.untilFault) std::printf("first fault after %.2f s\n", elapsed());
            report(seed, plan, fault);
            std::fflush(stdout);
            if (budget.untilFault) break;
        }
    }
    const double seconds = elapsed();
    std::printf("%zu stories, %zu operations in %.1f s (%.0f a second): %zu failed\n", stories, operations, seconds,
                operations / seconds, failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const Budget budget = parse(argc, argv);
    return budget.steps.empty() ? explore(budget) : tellGiven(budget);
}
