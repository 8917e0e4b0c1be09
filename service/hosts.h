// The hosts-file block between "#tarvik-begin" and "#tarvik-end": loading it
// into the name table at start, rewriting it from the table after changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "registry.h"

// Feeds every entry line of the block into update_name_table. The file is
// read twice in chunks, never held whole: once for the block's place and
// the names outside it, once for the entries. A line of the
// block that is no entry (an address that does not parse, no name, a name
// the service would refuse from the network: comments and blank lines among
// them) is skipped with a level-2 line; a name the machine already has
// (name_taken_reason) with "%s: name refused: %s". Every entry goes in
// whatever max-names says (a cap refuses new names, it never deletes stored
// ones): a block over the cap is kept whole, with one level-2 line saying
// that new names are refused until the table is below the cap. Entries there
// is no memory for are counted and logged in one line. A begin marker
// without an end marker holds only the entry lines right after it; the
// first other line ends the block. g_hosts_dirty is set only when the file
// does not show the table as loaded (a line was skipped or refused, or two
// lines made one entry). Logs "%s: No such file or directory" when the file
// cannot be read. Hands the names of the lines outside the block to the
// name table, as every rewrite does again. What it loaded counts as saved.
void load_hosts_block(const std::string& hosts_path);

// Deletes the copies that a run killed in the middle of a rewrite left
// beside the hosts file: only names of the rewrite's own pattern, only in
// the hosts file's folder (the folder of the file a link leads to). Called
// once at start.
void remove_stale_hosts_copies(const std::string& hosts_path);

// How a write ended: written; failed (an error, logged); or not written
// because another program changed the file at every attempt (kChanged).
enum class WriteOutcome { kWritten, kFailed, kChanged };

// Writes the table into the hosts file: every byte outside the block kept,
// the block rewritten. The new file is composed from the old one a chunk at
// a time (as note_hosts_changes tells: from the changes, or from the whole
// block), written to a fresh copy beside the hosts file (created exclusively, never through a
// link) and forced to disk. Through a link, the file the link leads to is
// the one written, also when it does not exist yet (it is then created and
// the link stays); a link that cannot be followed fails the write. Then the
// hosts file must still be what was read (the same file, or one with the
// same bytes), else another program has written it: the block is composed
// again from its content, a few times at most (kChanged after that). Where
// the system can (Linux), the copy is then swapped with the hosts file in
// one step and what came out is checked too: anything but the file just
// checked was saved by another program in between, goes back in place at
// once, and the block is composed again. Elsewhere the copy is renamed over
// the hosts file. A hosts file missing at the read is created only while
// still missing. Where the hosts file cannot be renamed over (a mount point)
// it is written in place, after reading it once more for the same check, and
// put back as it was if that fails. A write that met another
// writer (the file was written by someone else since the service's last
// read or write) reads the file back once that writer had time to save a
// copy it read before: a block undone so is kChanged too.
//
// True when the hosts file holds the table; g_hosts_dirty is then cleared.
// False, with a level-1 line naming the path and the system's error (or
// "Changed by another program during every write, tried again later"),
// leaves the hosts file as it was and g_hosts_dirty set. The block leaves
// out the names the read finds outside it, and after a successful write
// those names go to the name table, where stored names among them are
// dropped (drop_taken_names). Runs on the calling thread.
bool rewrite_hosts_block(const std::string& hosts_path);

// The last write, at stop (the loop has waited for the writer): when the
// table has unsaved changes it writes the block as rewrite_hosts_block does,
// trying again while another program keeps changing the file, for at most
// kStopRetryMs, since after the stop there is no later. When the block could
// still not be written, the changes of the table since the last write that
// succeeded are lost; their number is logged as "%d acknowledged changes not
// saved at stop" (level 1). True when nothing unsaved is left.
constexpr std::uint32_t kStopRetryMs = 3000;
bool save_hosts_block_at_stop(const std::string& hosts_path);

// Deletes the copies that a run killed in the middle of a rewrite left
// beside the hosts file: only names of the rewrite's own pattern, only in
// the hosts file's folder (the folder of the file a link leads to). Called
// once at start.
void remove_stale_hosts_copies(const std::string& hosts_path);

// The table's changes, oldest first, as the loop takes them after each turn
// (take_name_changes; `changes` is left empty). While the file the writer
// last wrote (or the load found reading exactly as the table is written)
// holds the table as it was before them, the next write hands the writer
// only these changes, which it applies to that file's block: every change
// moves its entry to the end of the table, so the new block is the old one
// without the lines of the names changed, then those names that are still
// there, in the order of their last change. Otherwise (no such file, a
// failed write, another program's write, more changes than half the table)
// the loop hands over the whole block. Until the first call after a load
// every write is whole.
void note_hosts_changes(std::vector<NameChange>* changes);

// The same write, off the loop: the loop hands the changes, or the block
// composed from the table, to a writer thread, which does the file work
// (reading the old file and writing the new one a chunk at a time, never
// whole, on a thread well below the loop's priority); the
// table and the log stay the loop's. A job of changes that finds the file
// not as the writer left it is followed at once by the whole block. start_hosts_write clears g_hosts_dirty and
// returns false when an earlier write is still pending (nothing is then
// handed over). finish_hosts_write returns true once the pending write has
// ended, with *outcome telling how; it logs the write's lines, counts the
// write in g_counters, and a write that did not succeed sets g_hosts_dirty
// again. wait_for_hosts_write waits for the pending write, if any, to end.
bool start_hosts_write(const std::string& hosts_path);
bool finish_hosts_write(WriteOutcome* outcome);
bool hosts_write_pending();
void wait_for_hosts_write();

// For tests: `hook` is called by the file work just before the new file
// takes the hosts file's place, with the hosts file's path, so that a test
// can play another program saving the file at that very moment. Null: none.
void set_hosts_replace_hook(void (*hook)(const std::string& hosts_path));

// When the loop writes the block. A wait that passes with nothing ready
// writes it at once; under steady traffic it is written once the table has
// had unsaved changes for kRewriteDeadlineMs. After a failed write the next
// attempt waits kFirstRetryDelayMs, doubling after each further failure up
// to kLastRetryDelayMs; a successful write resets the wait. A write that
// another program kept from happening by changing the file is tried again
// after kChangedRetryDelayMs, never later: such a program holds the block
// back only while it keeps writing. Times are tick_count_ms() values,
// compared in 32-bit unsigned arithmetic so that the counter's wrap-around
// does no harm.
constexpr std::uint32_t kRewriteDeadlineMs = 1000;
constexpr std::uint32_t kFirstRetryDelayMs = 1000;
constexpr std::uint32_t kLastRetryDelayMs = 60000;
constexpr std::uint32_t kChangedRetryDelayMs = 1000;

struct RewriteSchedule {
  bool dirty_seen = false;          // the table's unsaved changes are being timed
  std::uint32_t dirty_since = 0;    // when they were first seen
  std::uint32_t retry_delay = 0;    // 0: the last write (if any) succeeded
  std::uint32_t retry_after = 0;    // no attempt before this, while retry_delay != 0
};

// True when the block should be written now. `dirty` is g_hosts_dirty,
// `quiet` tells whether the iteration's wait ended with nothing ready.
bool rewrite_due(RewriteSchedule* schedule, bool dirty, bool quiet, std::uint32_t now);
// Records the outcome of a write made at `now`.
void note_rewrite_result(RewriteSchedule* schedule, WriteOutcome outcome, std::uint32_t now);
