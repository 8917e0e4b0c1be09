// The hosts-file block between "#tarvik-begin" and "#tarvik-end": loading it
// into the name table at start, rewriting it from the table after changes.
#pragma once

#include <string>

// Feeds every entry line of the block into update_name_table. Logs
// "%s: No such file or directory" when the file cannot be opened.
void load_hosts_block(const std::string& hosts_path);

// Clears g_hosts_dirty, composes a new hosts file in the temporary folder
// (lines outside the block carried over, block rewritten from the table)
// and puts it in place of the hosts file. A hosts file that exists but cannot
// be read, or a copy that cannot be written whole, leaves the hosts file as
// it was; the file is never left half-written.
void rewrite_hosts_block(const std::string& hosts_path);
