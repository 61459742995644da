#pragma once
// At start, before serving: the holds a process left between packing and the reply's
// fate (see held_export.h) are found wherever they were made, and settled.
#include <string>
#include <vector>

#include "jobfiles/kept_folders.h"

namespace ostrivan::jobfiles {

// Every hold folder there is: those the records in held/ name, those in held/ itself and
// those beside export_dir (holds made before they were recorded). Sorted, each once; a
// name may no longer be a folder.
std::vector<std::string> HoldFolders(const std::string& export_dir);

// Every hold recorded beside the executable, then the hold folders the current export
// directory may have used (beside it and beside the executable): each job found is
// finished, delivered ones removed, the others put back. A job folder whose manifest
// cannot be read is left untouched, with an error line naming it. Returns how many jobs
// were found.
int RecoverHeldExports(const std::string& export_dir, const TKeepLimits& keep = {});

}  // namespace ostrivan::jobfiles
