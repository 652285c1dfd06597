#include "tests/sim/story.h"

#include <cstring>
#include <sstream>

#include "platform/linux/engine/change_engine.h"
#include "platform/linux/engine/fanotify_source.h"
#include "platform/linux/engine/inotify_source.h"

class Story::Output : public EngineOutput {
public:
    explicit Output(Story& story) : story_(story) {}
    void add(DWORD action, std::string_view path) override {
        static const char* const kinds[] = {"", "ADDED", "REMOVED", "MODIFIED", "OLD", "NEW"};
        pending_.push_back({kinds[action], std::string(path), 0});
        bytes_ += 12 + path.size() * 2;
    }
    size_t pendingBytes() const override { return bytes_; }
    void publish() override {
        if (pending_.empty()) return;
        const int piece = ++story_.pieces_;
        if (pending_.back().kind == "OLD") story_.split_ = true;
        for (StoryRecord& record : pending_) {
            record.piece = piece;
            story_.records_.push_back(std::move(record));
        }
        pending_.clear();
        bytes_ = 0;
    }
    void lost() override {
        pending_.clear();
        bytes_ = 0;
        story_.records_.push_back({"OVERFLOW", "", ++story_.pieces_});
        story_.restarts_.emplace_back(story_.records_.size(), story_.model_.tree());
    }
    void rootGone() override { story_.records_.push_back({"GONE", "", ++story_.pieces_}); }

private:
    Story& story_;
    std::vector<StoryRecord> pending_;
    size_t bytes_ = 0;
};

Story::Story(const std::string& tree, const StoryOptions& options)
    : model_(tree, options.kernel), start_(model_.tree()), output_(new Output(*this)), recursive_(options.recursive) {
    if (options.kernel == KernelModel::Kernel::Inotify) {
        source_.reset(new InotifySource(model_.inotify(), model_.disk(), options.readBytes));
    } else {
        source_.reset(new FanotifySource(model_.fanotify(), model_.disk(), model_.rootHandle(), options.readBytes));
    }
    engine_.reset(new ChangeEngine(*source_, *output_, options.recursive, 0x5F));
    started_ = engine_->start() == 0;
}

Story::~Story() = default;

void Story::performAll(const std::string& steps) {
    std::istringstream list(steps);
    std::string step;
    while (std::getline(list, step, ';')) perform(step);
}

// Spaces around a step, or between its words, do not matter.
bool Story::perform(const std::string& step) {
    std::istringstream words(step);
    std::string verb, a, b;
    words >> verb >> a >> b;
    if (verb.empty()) return true;
    // A rename torn by the read that follows it is queued whole after that read.
    if (verb != "read") model_.queueTorn();
    if (verb == "watching" || verb == "listing" || verb == "looking" || verb == "learning") {
        const std::string moment = verb + " " + a.substr(0, a.size() - 1);  // without the ':'
        const std::string then = step.substr(step.find(':') + 1);
        model_.when(moment, [this, then] { perform(then); });
    } else if (verb == "read") {
        service(a.empty() ? SIZE_MAX : std::stoul(a));
        model_.queueTorn();
    } else if (verb == "later") {
        nowMs_ += std::stol(a);
        if (!engine_->ended()) engine_->settle(SIZE_MAX, nowMs_);
    } else if (verb == "removes") {
        for (int i = 0; i < std::stoi(a); ++i) model_.touch("removed" + std::to_string(i));
        for (int i = 0; i < std::stoi(a); ++i) model_.remove("removed" + std::to_string(i));
    } else if (verb == "mark") {
        output_->publish();
        records_.push_back({"|", "", ++pieces_});
    } else if (verb == "renames") {
        // Records of 64 bytes each, so that where the pieces end is known.
        const auto name = [](char letter, int i) { return "a/" + std::string(17, letter) + std::to_string(1000000 + i); };
        for (int i = 0; i < std::stoi(a); ++i) model_.touch(name('r', i));
        for (int i = 0; i < std::stoi(a); ++i) model_.move(name('r', i), name('s', i));
    } else {
        return change(verb, a, b);
    }
    return true;
}

bool Story::change(const std::string& verb, const std::string& a, const std::string& b) {
    if (verb == "mkdir" && a == "-p") {
        bool made = false;
        for (size_t slash = b.find('/'); slash != std::string::npos; slash = b.find('/', slash + 1))
            made |= model_.mkdir(b.substr(0, slash));
        return model_.mkdir(b) || made;
    }
    if (verb == "mkdir") return model_.mkdir(a);
    if (verb == "touch") return model_.touch(a);
    if (verb == "write") return model_.write(a);
    if (verb == "chmod") return model_.chmod(a);
    if (verb == "lock" || verb == "unlock") return model_.lock(a, verb == "lock");
    if (verb == "rm" && a == "-r") return model_.removeTree(b);
    if (verb == "rm" || verb == "rmdir") return model_.remove(a);
    if (verb == "mv") return model_.move(a, b);
    if (verb == "hold") return model_.hold(a);
    if (verb == "pid") {
        model_.process(std::stoi(a));
    } else if (verb == "torn") {
        model_.tearNextRename();
    } else if (verb == "overflow") {
        return model_.overflow();
    } else if (verb == "limit") {
        model_.limitWatches(std::stoul(a));
    } else if (verb == "wds") {
        model_.limitWatchDescriptors(std::stoi(a));
    } else {
        throw std::invalid_argument("unknown step " + verb);
    }
    return true;
}

// What the waiting thread does when it wakes: reads a helping of the queue
// (to its end, unless the budget runs out first), then what time made due.
void Story::service(size_t budgetBytes) {
    if (engine_->ended()) return;
    engine_->drain(budgetBytes, nowMs_);
    engine_->settle(budgetBytes, nowMs_);
}

std::string Story::joined() const {
    std::string out;
    for (const StoryRecord& record : records_) {
        if (!out.empty()) out += "; ";
        out += record.kind;
        if (!record.path.empty()) out += " " + record.path;
    }
    return out;
}
