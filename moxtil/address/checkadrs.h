// Strict dotted-decimal IPv4 address checks.
#pragma once

/// Splits str, an address of exactly four fields of 1 to 3 decimal digits with
/// values 0 to 255, into ipval[0..3] (field 0 leftmost). 0 when valid, else -1;
/// ipval is then not to be used.
int checkAdrs(unsigned char* ipval, const char* str);
