#pragma once
// Packing an export: what is in the directory when the job begins is listed into a new
// hold, and the files it packs go into an archive kept in the hold folder.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jobfiles/held_export.h"
#include "jobfiles/job_journal.h"

namespace ostrivan::jobfiles {

// Which files an export packs: the whole tree (NEWEN) or one file directly in the
// directory (ROTTLER); every file and folder is emptied either way.
struct TExportSelection {
  bool WholeTree = true;
  std::string Only;  // the one file's name when not the whole tree
};

// What is in the directory now is the job; anything arriving from here on stays for the
// next. Links, pipes and sockets are left out, with a warning. Marks what is packed and
// counts it into record, which the hold takes as its own.
std::shared_ptr<THeldExport> SnapshotExport(const std::string& dir, const TExportSelection& selection,
                                            TJournalRecord& record);

// Packs the files the job marked into memory, keeps the archive in the hold folder and
// checks that each file is still the version listed before packing began: one that grew,
// shrank or was rewritten is still being written. Returns the archive's bytes.
std::vector<std::uint8_t> PackHeldExport(const std::string& dir, THeldExport& job, std::int64_t file_bytes,
                                         int settle_seconds);

}  // namespace ostrivan::jobfiles
