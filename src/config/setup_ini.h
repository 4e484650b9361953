// The setup file "setup.ini": a user-editable mirror of part of the
// parameter record on the card's first partition, section "[HOLMAX]".
//
// Format: lines ending in LF or CR LF (at most 499 characters); a section
// header is "[name]"; settings are KEY=VALUE with spaces and tabs around key
// and value ignored; keys and section names compare without regard to case;
// a line starting with ';' is a comment.
#pragma once

#include <string>

struct Eep_data;

// Where the setup file lives on the board: "/mnt/mmc0_p1/setup.ini".
std::string SetupIniPath();

// Looks up `key` in `section` of the file `path`. `buffer` first receives
// `def` (or becomes empty when def is null), cut to bufflen - 1 characters.
// Returns the length of the value copied into buffer (at most bufflen - 1),
// 0 when the key is missing or empty, -1 when path is null or the file cannot
// be opened. The first matching section and, in it, the first matching key
// win; a line without '=' inside the section ends the search.
int GetPrivateProfileString(const char* section, const char* key, const char* def, char* buffer,
                            int bufflen, const char* path);

// `s` without leading and trailing spaces, tabs and LFs, in a buffer of this
// module that stays valid until the next call.
char* trim(const char* s);

// Merges the file into *eep, key by key; rejected values are reported and
// leave their field. Writes the record to the EEPROM when a key changed it
// (see the key table). Returns -1 when the file cannot be opened, else 1.
int SetupIniChk(const char* sfile, Eep_data* eep);

// Replaces the file with one written from the store's copy EepData, loading
// the record first (and initialising a blank part with the defaults) when it
// has not been loaded since start. Returns 0, or -1 when nothing was written.
int CreateSetupIni(const char* sfile);
