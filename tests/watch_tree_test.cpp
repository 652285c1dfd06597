// The pure pieces under the Linux change notification: the tree of watched
// directories, the record backlog and the errno translation.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <unordered_map>

#include "platform/linux/last_error.h"
#include "platform/linux/engine/key_index.h"
#include "platform/linux/engine/record_queue.h"
#include "platform/linux/engine/watch_tree.h"

namespace {

std::string pathOf(const WatchTree& tree, NodeId node) {
    std::string path;
    tree.appendPath(node, path);
    return path;
}

}  // namespace

TEST(WatchTree, PathsFollowMovesAndRemovals) {
    WatchTree tree;
    const NodeId root = tree.add(1, kNoNode, "");
    const NodeId a = tree.add(2, root, "a");
    const NodeId b = tree.add(3, a, "b");
    const NodeId c = tree.add(4, b, "c");
    const NodeId other = tree.add(5, root, "other");
    EXPECT_EQ(pathOf(tree, root), "");
    EXPECT_EQ(pathOf(tree, c), "a/b/c");
    EXPECT_EQ(tree.findChild(a, "b"), b);
    EXPECT_EQ(tree.findChild(a, "c"), kNoNode);

    tree.move(b, other, "renamed");  // everything below moves along
    EXPECT_EQ(pathOf(tree, c), "other/renamed/c");
    EXPECT_EQ(tree.findChild(a, "b"), kNoNode);
    EXPECT_EQ(tree.find(4), c);

    std::vector<int> wds;
    tree.removeSubtree(other, wds);
    std::sort(wds.begin(), wds.end());
    EXPECT_EQ(wds, (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(tree.find(4), kNoNode);
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_EQ(pathOf(tree, a), "a");
}

TEST(WatchTree, ManyRenamesKeepNamesIntactWhileReclaimingSpace) {
    WatchTree tree;
    const NodeId root = tree.add(1, kNoNode, "");
    const NodeId keep = tree.add(2, root, "keep");
    const NodeId spin = tree.add(3, keep, "spin");
    for (int i = 0; i < 10000; ++i) tree.move(spin, keep, "name-" + std::to_string(i));
    EXPECT_EQ(pathOf(tree, spin), "keep/name-9999");
    EXPECT_EQ(tree.findChild(root, "keep"), keep);
}

// Keys come and go in clusters that wrap round the table's end: every erase
// must leave each remaining key reachable from its home slot.
TEST(KeyIndex, AgreesWithAMapThroughInsertsAndErases) {
    KeyIndex index;
    std::unordered_map<int, uint32_t> expected;
    std::mt19937 random(7);
    for (int step = 0; step < 200000; ++step) {
        const int key = static_cast<int>(random() % 3000) - 5;
        if (expected.count(key) != 0 && random() % 2 == 0) {
            index.erase(key);
            expected.erase(key);
        } else if (expected.count(key) == 0) {
            index.insert(key, static_cast<uint32_t>(step));
            expected[key] = static_cast<uint32_t>(step);
        }
        const int probe = static_cast<int>(random() % 3000) - 5;
        const auto found = expected.find(probe);
        ASSERT_EQ(index.find(probe), found == expected.end() ? KeyIndex::kAbsent : found->second) << step;
    }
    EXPECT_EQ(index.size(), expected.size());
}

// Laid out as on Windows, so that "Notified with N bytes." says the same: each record
// on a 4-byte boundary, the count ending where the last name ends (18 for a lone "hoo").
TEST(RecordQueue, TakesWholeRecordsInOrderLaidOutAsOnWindows) {
    RecordQueue queue;
    RecordBatch batch;
    batch.append(FILE_ACTION_ADDED, "a");        // 14 bytes, 16 with padding
    batch.append(FILE_ACTION_REMOVED, "bcdef");  // 22, 24 with padding
    batch.append(FILE_ACTION_MODIFIED, "g");     // 14
    batch.append(FILE_ACTION_ADDED, "hoo");      // 18
    EXPECT_TRUE(queue.publish(batch.packed()));
    EXPECT_TRUE(batch.empty());

    alignas(4) unsigned char buffer[56];
    DWORD bytes = 0;
    ASSERT_EQ(queue.take(buffer, sizeof buffer, bytes), RecordQueue::Taken::Records);
    ASSERT_EQ(bytes, 54u);  // 16 + 24 + 14: the last record unpadded; "hoo" waits
    FILE_NOTIFY_INFORMATION records[3];
    for (int i = 0; i < 3; ++i) std::memcpy(&records[i], buffer + (i == 0 ? 0 : i == 1 ? 16 : 40), 12);
    EXPECT_EQ(records[0].NextEntryOffset, 16u);
    EXPECT_EQ(records[1].NextEntryOffset, 24u);
    EXPECT_EQ(records[1].Action, static_cast<DWORD>(FILE_ACTION_REMOVED));
    EXPECT_EQ(records[1].FileNameLength, 10u);
    EXPECT_EQ(records[2].NextEntryOffset, 0u);
    EXPECT_EQ(records[2].Action, static_cast<DWORD>(FILE_ACTION_MODIFIED));

    ASSERT_EQ(queue.take(buffer, sizeof buffer, bytes), RecordQueue::Taken::Records);
    EXPECT_EQ(bytes, 18u);
    EXPECT_EQ(queue.take(buffer, sizeof buffer, bytes), RecordQueue::Taken::Nothing);
    EXPECT_TRUE(queue.empty());
}

TEST(RecordQueue, OverflowDropsTheBacklogOnceAndCarriesOn) {
    RecordQueue queue(64);
    RecordBatch batch;
    for (int i = 0; i < 5; ++i) batch.append(FILE_ACTION_ADDED, "x");  // 80 bytes: too many
    queue.publish(batch.packed());
    alignas(4) unsigned char buffer[64];
    DWORD bytes = 1;
    EXPECT_EQ(queue.take(buffer, sizeof buffer, bytes), RecordQueue::Taken::Overflow);
    EXPECT_EQ(bytes, 0u);
    batch.append(FILE_ACTION_ADDED, "after");
    queue.publish(batch.packed());
    EXPECT_EQ(queue.take(buffer, sizeof buffer, bytes), RecordQueue::Taken::Records);
    EXPECT_EQ(bytes, 22u);

    batch.append(FILE_ACTION_ADDED, "twenty-units-of-name");  // 52 bytes
    queue.publish(batch.packed());
    EXPECT_EQ(queue.take(buffer, 32, bytes), RecordQueue::Taken::RecordTooLarge);
    EXPECT_TRUE(queue.empty());
}

TEST(RecordQueue, TheHalvesOfARenameAreNeverSplitBetweenDeliveries) {
    RecordQueue queue;
    RecordBatch batch;
    batch.append(FILE_ACTION_ADDED, "a");             // 16 bytes
    batch.append(FILE_ACTION_RENAMED_OLD_NAME, "b");  // 16
    queue.publish(batch.packed());
    batch.append(FILE_ACTION_RENAMED_NEW_NAME, "c");  // 16, published apart
    queue.publish(batch.packed());
    alignas(4) unsigned char buffer[40];
    DWORD bytes = 0;
    ASSERT_EQ(queue.take(buffer, sizeof buffer, bytes), RecordQueue::Taken::Records);
    EXPECT_EQ(bytes, 14u);  // the old name waits, to go with the new one
    ASSERT_EQ(queue.take(buffer, sizeof buffer, bytes), RecordQueue::Taken::Records);
    EXPECT_EQ(bytes, 30u);
    FILE_NOTIFY_INFORMATION second;
    std::memcpy(&second, buffer + 16, 12);
    EXPECT_EQ(second.Action, static_cast<DWORD>(FILE_ACTION_RENAMED_NEW_NAME));

    // A buffer too small for both still gets them, one at a time.
    batch.append(FILE_ACTION_RENAMED_OLD_NAME, "d");
    batch.append(FILE_ACTION_RENAMED_NEW_NAME, "e");
    queue.publish(batch.packed());
    ASSERT_EQ(queue.take(buffer, 14, bytes), RecordQueue::Taken::Records);
    ASSERT_EQ(queue.take(buffer, 14, bytes), RecordQueue::Taken::Records);
    EXPECT_TRUE(queue.empty());
}

TEST(LastError, ErrnoValuesBecomeWindowsCodes) {
    const std::pair<int, DWORD> table[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND},      {EACCES, ERROR_ACCESS_DENIED},     {EPERM, ERROR_ACCESS_DENIED},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES}, {ENFILE, ERROR_TOO_MANY_OPEN_FILES}, {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE}, {ENOSPC, ERROR_NOT_ENOUGH_QUOTA}, {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
        {EIO, ERROR_GEN_FAILURE},
    };
    for (const auto& [error, code] : table) EXPECT_EQ(win32ErrorFromErrno(error), code) << std::strerror(error);
}
