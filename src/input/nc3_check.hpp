#pragma once
// Completeness check of classic-format netCDF files (CDF-1 "classic",
// CDF-2 "64-bit offset", CDF-5 "64-bit data").
//
// The netCDF library reads a classic-format file that has been cut short
// without any error: values beyond the end of the file come back as zeros.
// The file's own header says where every variable's data lies, so the
// minimal length of an intact file is known before any data is read.
#include <string>

namespace dx {

// Refuses (throws Error) a classic-format netCDF file that is shorter than
// its header says, or whose header is malformed or cut short.  Files of
// any other kind (netCDF-4/HDF5, or not netCDF at all) are left to the
// netCDF library and pass unchecked.  Throws Error also when the file
// cannot be opened or read.  Reads only the header (open, fstat, one read
// for ordinary headers, close).  Messages name the file `name`, or `path`
// when `name` is empty.
void check_nc3_complete(const std::string& path, const std::string& name = {});

}  // namespace dx
