// The manifest of a hold folder and the record of what a put-back placed: written before
// anything moves, read at a start after a kill.
#include <cerrno>
#include <functional>
#include <sstream>

#include "common/file_system.h"
#include "common/numbers.h"
#include "jobfiles/held_export.h"
#include "jobfiles/held_layout.h"

namespace ostrivan::jobfiles {

using namespace held_layout;

namespace {

// One table names every field of the record, how it is written and how it is read.
struct TRecordField {
  const char* name;
  std::function<std::string(const TJournalRecord&)> write;
  std::function<void(TJournalRecord&, const std::string&)> read;
};

const std::vector<TRecordField>& RecordFields() {
  auto text = [](std::string TJournalRecord::*field) {
    return TRecordField{nullptr, [field](const TJournalRecord& r) { return r.*field; },
                        [field](TJournalRecord& r, const std::string& v) { r.*field = v; }};
  };
  auto number = [](std::int64_t TJournalRecord::*field) {
    return TRecordField{nullptr, [field](const TJournalRecord& r) { return std::to_string(r.*field); },
                        [field](TJournalRecord& r, const std::string& v) { r.*field = std::stoll(v); }};
  };
  auto named = [](const char* name, TRecordField f) {
    f.name = name;
    return f;
  };
  static const std::vector<TRecordField> fields = {
      named("direction", text(&TJournalRecord::Direction)),
      named("machine",
            {nullptr, [](const TJournalRecord& r) { return std::to_string(r.Machine); },
             [](TJournalRecord& r, const std::string& v) { r.Machine = static_cast<std::int32_t>(std::stol(v)); }}),
      named("peer", text(&TJournalRecord::Peer)),
      named("client", text(&TJournalRecord::Client)),
      named("mode", text(&TJournalRecord::Mode)),
      named("archive", text(&TJournalRecord::Archive)),
      named("job", text(&TJournalRecord::Job)),
      named("files", number(&TJournalRecord::Files)),
      named("file_bytes", number(&TJournalRecord::FileBytes)),
      named("archive_bytes", number(&TJournalRecord::ArchiveBytes)),
      named("crc32",
            {nullptr, [](const TJournalRecord& r) { return r.HasCrc ? std::to_string(r.ArchiveCrc) : std::string(); },
             [](TJournalRecord& r, const std::string& v) {
               r.HasCrc = !v.empty();
               if (r.HasCrc) r.ArchiveCrc = static_cast<std::uint32_t>(std::stoul(v));
             }}),
      named("left", number(&TJournalRecord::Left)),
  };
  return fields;
}

std::string IdentityFields(const TFileIdentity& id) {
  return std::to_string(id.Device) + "\t" + std::to_string(id.Inode) + "\t" + std::to_string(id.Size) + "\t" +
         std::to_string(id.ModifiedSeconds) + "\t" + std::to_string(id.ModifiedNanoseconds) + "\t" +
         std::to_string(id.Mode);
}

bool ParseIdentity(const std::vector<std::string>& f, std::size_t at, TFileIdentity& id) {
  if (f.size() < at + 6) return false;
  id.Device = static_cast<dev_t>(std::stoull(f[at]));
  id.Inode = static_cast<ino_t>(std::stoull(f[at + 1]));
  id.Size = std::stoll(f[at + 2]);
  id.ModifiedSeconds = std::stoll(f[at + 3]);
  id.ModifiedNanoseconds = std::stoll(f[at + 4]);
  id.Mode = static_cast<mode_t>(std::stoul(f[at + 5]));
  return true;
}

std::string EntryLine(const char* key, const THeldEntry& e) {
  return std::string(key) + "\t" +
         (e.IsDirectory ? "d"
          : e.Packed    ? "p"
                        : "f") +
         "\t" + EscapeField(e.Relative) + "\t" + IdentityFields(e.Identity) + "\t" +
         std::to_string(e.HeldChangedSeconds) + "\t" + std::to_string(e.HeldChangedNanoseconds) + "\n";
}

bool ParseEntry(const std::vector<std::string>& f, THeldEntry& e) {
  if (f.size() < 11 || (f[1] != "d" && f[1] != "p" && f[1] != "f")) return false;
  e.IsDirectory = f[1] == "d";
  e.Packed = f[1] == "p";
  e.Relative = f[2];
  if (!ParseIdentity(f, 3, e.Identity)) return false;
  e.HeldChangedSeconds = std::stoll(f[9]);
  e.HeldChangedNanoseconds = std::stoll(f[10]);
  return true;
}

}  // namespace

THeldExport::TLoad THeldExport::Load(const std::string& folder, std::shared_ptr<THeldExport>& job) {
  job.reset(new THeldExport("", folder));
  // Not ours to remove on the way out until it is read whole.
  job->completed_.store(true);
  std::string text;
  int code = 0;
  if (code = TryReadWholeFile(folder + "/" + kManifestName, text).Code(); code != 0)
    return code == ENOENT ? TLoad::kNoManifest : TLoad::kUnreadable;
  if (!job->ReadManifest(text)) return TLoad::kUnreadable;
  std::string deadline;
  if (TryReadWholeFile(folder + "/" + kAwaitingMark, deadline)) {
    std::int64_t ms = 0;
    // A mark cut short by a kill waits for nothing: the job is settled as any other.
    if (ParseNumber(std::string_view(deadline).substr(0, deadline.find('\n')), ms)) job->ack_deadline_ms_ = ms;
  }
  job->ReadPlacedRecord();
  job->held_ = true;
  job->completed_.store(false);
  return TLoad::kLoaded;
}

void THeldExport::WriteManifest() const {
  std::ostringstream out;
  out << kManifestHeader << "\n";
  out << "origin\t" << EscapeField(origin_) << "\n";
  out << "started\t" << started_wall_ms_ << "\n";
  for (const TRecordField& field : RecordFields())
    out << field.name << "\t" << EscapeField(field.write(Record)) << "\n";
  for (const THeldEntry& e : Entries) out << EntryLine("entry", e);
  if (settled_) {
    for (const THeldEntry& e : residual_) out << EntryLine("stayed", e);
    out << "settled\n";
  }
  out << "end\n";
  WriteFileDurably(folder_ + "/" + kManifestName, out.str());
}

bool THeldExport::ReadManifest(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line)) return false;
  const bool v1 = line == kManifestHeaderV1;
  if (!v1 && line != kManifestHeader) return false;
  bool ended = false;
  try {
    while (std::getline(in, line)) {
      if (line == "end") {
        ended = true;
        break;
      }
      const std::vector<std::string> f = SplitFields(line);
      if (f[0] == "origin" && f.size() >= 2) {
        origin_ = f[1];
      } else if (f[0] == "started" && f.size() >= 2) {
        started_wall_ms_ = std::stoll(f[1]);
      } else if (f[0] == "settled") {
        settled_ = true;
      } else if (!v1 && (f[0] == "entry" || f[0] == "stayed")) {
        THeldEntry e;
        if (!ParseEntry(f, e)) return false;
        (f[0] == "entry" ? Entries : residual_).push_back(std::move(e));
      } else if (v1 && f[0] == "record" && f.size() >= 12) {
        // Written by the version before: positional fields.
        Record.Direction = f[1];
        Record.Machine = static_cast<std::int32_t>(std::stol(f[2]));
        Record.Peer = f[3];
        Record.Mode = f[4];
        Record.Archive = f[5];
        Record.Job = f[6];
        Record.Files = std::stoll(f[7]);
        Record.FileBytes = std::stoll(f[8]);
        Record.ArchiveBytes = std::stoll(f[9]);
        Record.HasCrc = f[10] == "1";
        Record.ArchiveCrc = static_cast<std::uint32_t>(std::stoul(f[11]));
      } else if (v1 && (f[0] == "d" || f[0] == "p" || f[0] == "f") && f.size() >= 8) {
        THeldEntry e;
        e.IsDirectory = f[0] == "d";
        e.Packed = f[0] == "p";
        e.Relative = f[1];
        if (!ParseIdentity(f, 2, e.Identity)) return false;
        Entries.push_back(std::move(e));
      } else if (!v1 && f.size() >= 2) {
        for (const TRecordField& field : RecordFields())
          if (f[0] == field.name) field.read(Record, f[1]);
      }
    }
  } catch (const std::exception&) {
    return false;
  }
  return ended && !origin_.empty();
}

void THeldExport::WritePlacedRecord() const {
  std::ostringstream out;
  out << kPlacedHeader << "\n";
  for (const auto& [relative, at] : placed_)
    out << "placed\t" << EscapeField(relative) << "\t" << at.Device << "\t" << at.Inode << "\n";
  out << "end\n";
  WriteFileDurably(folder_ + "/" + kPlacedName, out.str());
}

void THeldExport::ReadPlacedRecord() {
  std::string text;
  if (!TryReadWholeFile(folder_ + "/" + kPlacedName, text)) return;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kPlacedHeader) return;
  std::map<std::string, TPlaced> placed;
  try {
    while (std::getline(in, line)) {
      if (line == "end") {
        placed_ = std::move(placed);
        return;
      }
      const std::vector<std::string> f = SplitFields(line);
      if (f.size() < 4 || f[0] != "placed") return;
      placed[f[1]] = {std::stoull(f[2]), std::stoull(f[3])};
    }
  } catch (const std::exception&) {
  }
  // Written whole or not at all: a record without its end is not taken.
}

}  // namespace ostrivan::jobfiles
