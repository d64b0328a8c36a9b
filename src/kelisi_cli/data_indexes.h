// The indexes of one data file: an index argument that names several
// (ISI,ISI,...), the data file an index's header leads to, and the .isi
// files beside a data file whose headers name that file.
#pragma once

#include <string>
#include <vector>

namespace kelisi_cli {

// The indexes an argument names: ISI, or ISI,ISI,... (a name that holds a
// comma and is an existing file stays one name). Empty parts are dropped.
std::vector<std::string> IndexList(const std::string& arg);

// Whether the index `isi`, whose header keeps `dataName`, describes the
// data file `dataPath`: the header's name as written, beside the index or
// by its last part beside the index leads to that very file (device and
// inode); or none of those exists and the last parts of the names agree
// (the files were moved together).
bool NamesDataFile(const std::string& isi, const std::string& dataName,
                   const std::string& dataPath);

// The data file the header's name leads to from the index `isi` (the first
// of its places that exists); the name as kept when none does.
std::string HeaderDataFile(const std::string& isi, const std::string& dataName);

// The .isi files (any case of the suffix) in the directory of `dataPath`
// whose headers name that data file, sorted by name, as paths beside it.
// Those in `leaveOut` (as the same files) are not listed.
std::vector<std::string> IndexesBeside(const std::string& dataPath,
                                       const std::vector<std::string>& leaveOut = {});

// "a", "a and b", "a, b and c".
std::string NameList(const std::vector<std::string>& names);

}  // namespace kelisi_cli
