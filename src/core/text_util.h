// Small text helpers: ASCII case folding, the case-blind and byte-wise
// comparisons, and cutting the directory off a path.
#pragma once

// 'a'..'z' folded to upper case, every other byte unchanged.
char ToUpperC(char c);
// Folds 'A'..'Z' to lower case in place, nothing else.
void ToLower(char* text);
// True when two texts are equal but for ASCII letter case.
bool SameTextIgnoringCase(const char* a, const char* b);
// Byte-wise comparison with strcmp's result (0 = equal).
int KelStrCmp(const char* a, const char* b);
// Removes everything up to and including the last '/' of `name`, in place.
void StripDirectory(char* name);
