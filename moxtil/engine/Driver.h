// The update driver: the program's entry and its update cycles.
#pragma once

/// Runs the whole update: 0 once the update ran (a failed target is told by
/// its status line), -1 when the options, the files or the file list are
/// unusable. With -M: 0 when targets were served and all finished, else 1.
int RunMoxtil(int argc, char** argv);
