// Telling what stopped the launcher: a line on standard error for a script
// or a log, and a box where someone can see one.
#pragma once

#include "messages.h"

// Whether anyone can see a box. Nobody does in a window station without
// visible display surfaces (a service's), nor in session 0 from Windows Vista
// on; a box there would wait for ever. Where Windows cannot tell, someone may.
bool anyone_sees_box();

// The message, naming path, as a line in English on standard error and then
// in a box, in the user's language, where anyone can see it. Returns status,
// or 8 when the heap is out.
template <typename C>
unsigned report(message_id id, const C* path, unsigned status);

// A line naming the program that did not start and Windows' error code,
// which it returns; and, where anyone can see one, a box that also gives
// Windows' reason. None when the person declined the consent prompt.
template <typename C>
unsigned report_failed_start(const C* program, unsigned error);

// The same for a command line longer than Windows, or its consent prompt,
// takes (reason: message_command_too_long or message_prompt_too_long): 206,
// the reason in our own words, in the line too.
template <typename C>
unsigned report_too_long(const C* program, message_id reason);

// The same for a program that started but could not be waited for.
template <typename C>
unsigned report_not_waited(const C* program, unsigned error);

// A line saying that the heap is out; returns 8.
unsigned report_no_memory();
