// The stored-log index: finds the data files of one type below a folder, pairs
// each with its ".config" file and keeps the pairs in LogFileList.
#pragma once

namespace nivex {

// Appends one entry per data file of this type (the index of Logfiletype its
// name ends with, exact case: scanlog::DataFileType) below folder,
// recursively, to LogFileList, each paired with its ".config" file
// (FindConfigOfDataFile, 4 levels); returns the number of entries LogFileList
// then holds, 0 when folder cannot be opened. Files whose names are not
// log-file names, and paths that do not fit an entry (259 characters), are
// skipped. The list is not cleared first.
int FindFilesFromfolder(const char* folder, int type);

// The path of the ".config" file of a data file in dataFolder whose name carries ipPart and
// tag: the first match in scanlog::ConfigSearchRoots(dataFolder, levelsUp), matched by name
// (support/Storax.h, FindConfigFile). Held per thread until the next search; null when none.
const char* FindConfigOfDataFile(const char* dataFolder, const char* ipPart, const char* tag,
                                 int levelsUp);

// Copies entry index of LogFileList into logPath and configPath (260 bytes
// each; a null buffer is skipped). 0 when found, -1 when there is no such entry.
int FindFilename(int index, char* logPath, char* configPath);

}  // namespace nivex
