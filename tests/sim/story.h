// One story told to the engine on the kernel model: a starting tree, then
// steps, each a change on the disk or a move of the engine (reading the
// queue, time passing), in the language of the change tracker's table:
//
//   mkdir P | mkdir -p P | touch P | write P | chmod P | rm P | rmdir P |
//   rm -r P | mv P Q | hold P (write P then writes it after its removal) |
//   pid N (the process making the changes) | overflow | torn (a read comes
//   between the next rename's halves) | limit N (watches) | wds N (watch
//   descriptors go round after N) | read | read N (one helping of at most N
//   bytes, the queue not read to its end) | later N (ms) |
//   mark (a "|" among the records) | renames N | removes N | watching P: STEP |
//   listing P: STEP | looking P: STEP | learning P: STEP (the step runs at
//   that moment)
//
// What the reader was given comes back as records joined by "; ".
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/sim/kernel_model.h"

/// One line the reader got, or a marker: OVERFLOW, GONE, "|".
struct StoryRecord {
    std::string kind;  // ADDED REMOVED MODIFIED OLD NEW, or the marker
    std::string path;
    int piece = 0;  // records handed over together share it
};

struct StoryOptions {
    KernelModel::Kernel kernel = KernelModel::Kernel::Inotify;
    bool recursive = true;
    /// How much one read of the kernel's queue takes at most.
    size_t readBytes = 64 * 1024;
};

class Story {
public:
    Story(const std::string& tree, const StoryOptions& options);
    ~Story();

    /// False when the engine could not start (its watch was refused).
    bool started() const { return started_; }
    /// Runs one step; false when it could not be made on the disk as it is.
    bool perform(const std::string& step);
    /// Runs every step of a "; "-joined list.
    void performAll(const std::string& steps);

    const std::vector<StoryRecord>& records() const { return records_; }
    /// The records as a row of the table writes them.
    std::string joined() const;
    KernelModel& model() { return model_; }
    /// The tree when the story began, and where the reader starts again after
    /// each overflow (the record's index, the tree at that moment).
    const std::set<std::string>& start() const { return start_; }
    const std::vector<std::pair<size_t, std::set<std::string>>>& restarts() const { return restarts_; }
    bool recursive() const { return recursive_; }
    /// Whether a piece handed over ended between the halves of a rename.
    bool splitARename() const { return split_; }

private:
    class Output;
    bool change(const std::string& verb, const std::string& a, const std::string& b);
    void service(size_t budgetBytes);

    KernelModel model_;
    std::set<std::string> start_;
    std::unique_ptr<Output> output_;
    std::unique_ptr<class EventSource> source_;
    std::unique_ptr<class ChangeEngine> engine_;
    std::vector<StoryRecord> records_;
    std::vector<std::pair<size_t, std::set<std::string>>> restarts_;
    long long nowMs_ = 1000;
    int pieces_ = 0;
    bool split_ = false;
    bool started_ = false;
    bool recursive_ = true;
};
