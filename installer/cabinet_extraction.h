// Unpacking one cabinet archive (and the further parts of its set) into a destination
// directory behind the progress window: each stored file goes to the destination under its
// stored name, every data block advances the bar and is paced before it is written, and
// each file gets its stored date and time.
#pragma once

#include <string>

#include "installer/installer_ui.h"
#include "installer/progress_dialog.h"

namespace installer {

// The bar's range during an extraction: the product's total number of bytes.
inline constexpr int kProgressRange = 226157;
// Input buffer of the decoder; a stored folder reaches the writer in pieces of this size.
inline constexpr int kDecompressionBufferBytes = 32768;

// Extracts `archive` (found in `source_directory` without regard to case) into
// `destination_directory`, which is brought into normal form in place (trailing white space
// removed, ending in "/"). Returns true when every file was extracted. An empty directory,
// or a missing or damaged archive, gives false without a message. Damage that shows before
// any data is read (headers out of range, a stored name that cannot become a file name
// (see stored_name_refusal), a stamp that names no real moment, a cabinet set that is not
// whole) stops the archive before anything of it is written. An output file that cannot be
// opened, a symbolic link where a file or folder is to be written, or a stored name that
// would leave the destination, shows M7 and skips the rest of the archive. So do declared
// sizes that do not fit (see declared_sizes.h), before anything is written, with the reason
// noted to the ui. When the file entries or the declared sizes stopped the archive before
// anything was written, `refusal` (if given) is set to one line that says why, naming the
// entry at fault; when a file could not be opened or put in place, to one line that names
// the file and the reason, which is also noted to the ui; otherwise it is emptied. Each
// file is written beside its place under a hidden name and takes its name only when the
// decoder finished it with the declared number of bytes and it was closed; otherwise it is
// removed and what stood under its name before is
// left as it was. Files extracted before a failure stay in place.
bool extract_cabinet(const std::string& archive, const std::string& source_directory,
                     std::string& destination_directory, ProgressDialog& progress, InstallerUi& ui,
                     std::string* refusal = nullptr);

}  // namespace installer
