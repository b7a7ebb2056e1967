#pragma once
// Kept for the tests that still include it: now support/process.hpp and
// support/output_check.hpp.
#include "support/fs.hpp"
#include "support/output_check.hpp"
#include "support/process.hpp"
