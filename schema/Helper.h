// Small file and text helpers of the data migrations.
#pragma once

#include <cstdint>

// True when a file or folder of exactly this name exists.
bool FileExists(const char* name);

// Size in bytes of the file name, opened for reading while others may read,
// write and delete it. Reports the failure and gives 0 when it cannot be
// opened.
int64_t GetFileSize64(const char* name);

// Reads a bit rate such as "300k", "1,000k" or "1 M": blanks and commas are
// dropped, the leading decimal number is taken and multiplied by 1000, 10^6
// or 10^9 when the text ends in k, m or g (either case). The product is
// truncated toward zero and bounded to the range of int; a text without a
// leading number gives 0. Only the first 259 characters are looked at.
int ParseBitrate(const char* text);
