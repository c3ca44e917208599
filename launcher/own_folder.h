// The folder that holds the launcher, spelled exactly in the ANSI code page.
#pragma once

// Writes the folder of the launcher's own path, up to and including its last
// separator, into folder (room bytes with the terminator). It is spelled
// exactly in the ANSI code page, or taken from the path's short form where
// the code page cannot spell it or its spelling does not fit. False, with
// folder empty, when neither works: a best-fit spelling would name another
// folder.
bool own_folder(char* folder, unsigned room);
