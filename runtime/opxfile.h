// The simulation layer of the message system (error and warning counters from
// which the exit status follows) and the helpers for the models' data files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nodrix {

// Message routines for the models. Texts are output as they are.
void opxinit();                   // zero the error and warning counters
void opxerr(const char* text);    // "Nodrix-E-text", error counter + 1
void opxwarn(const char* text);   // "Nodrix-W-text", warning counter + 1
void opxinfo(const char* text);   // the text alone, always shown
void opxtrace(char* text);        // "Nodrix-I-text" with the verbose option; newlines become blanks
void opxget(std::int32_t* nerr, std::int32_t* nwarn);
void opxend();

// The block whose call is under way ("block 10 (bessel_filter)"), set by
// the schedule around each call, null between calls. With naming on, every
// error and warning reported meanwhile begins with it.
void set_message_origin(const char* origin);
void name_message_origins(bool on);
// While a loop calls blocks one after another, many millions of times, the
// origin is looked up instead of set around each call: it is labels[*index]
// on this thread (the last label null, for between calls), until the loop
// clears it with null pointers. The origin set by set_message_origin comes
// back then.
void set_message_origin_lookup(const char* const* labels, const std::size_t* index);
// The origin a message reported now on this thread would carry (null for
// none), whether naming is on or not; reads two words, so a profiler's
// signal handler may ask it.
const char* current_message_origin();

inline void opxerr(const std::string& text) { opxerr(text.c_str()); }
inline void opxwarn(const std::string& text) { opxwarn(text.c_str()); }
inline void opxinfo(const std::string& text) { opxinfo(text.c_str()); }
void opxtrace(const char* text);
void opxtrace(const std::string& text);

// Data-file helpers. Names may come blank-padded: each is cut at its first blank.
void opxfdel(const char* name);                   // delete the file if it exists
std::int32_t opxfchk(const char* name);           // 1 when name + ".DAT" can be read
std::int32_t opxfrename(const char* name, char* old);  // name.DAT -> name_old.DAT; returns strlen(old)

// The name cut at its first blank.
std::string cut_at_first_blank(const char* name);

}  // namespace nodrix
