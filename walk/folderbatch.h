// The files of a dropped folder, encrypted or decrypted a batch at a time.
//
// The durable steps on the key drive are taken once for the whole batch:
// one commit of the usage record reserves the key blocks of all its files,
// one record file in the journal of work in progress holds the outputs of
// all (written once before they exist, once with their identities), and
// one more holds the erases of all (with the random names drawn ahead).
// The order of safety is kept for every file: its output is complete under
// its name on the disk before its source is renamed or overwritten, and
// each erase acts only on the very version that was read.
//
// A kill at any moment leaves what one stopped file would leave, for each
// file of the batch: the next run finishes or undoes it from the journal,
// and the blocks reserved for files not yet written are never used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "walk/dirtree.h"

// A batch holds at most this many files, and is run as soon as its files
// hold this many bytes: a kill loses little work, and a large file makes
// a batch of its own.
constexpr std::size_t kBatchFiles = 64;
constexpr uint64_t kBatchBytes = 16ull << 20;
// The batch's record files in the journal stay below this size, far below
// the largest record file that recovery reads: a batch of files with long
// paths holds fewer files.
constexpr std::size_t kBatchRecordBytes = 256 * 1024;

enum class BatchWork { Encrypt, Decrypt };

// A file as the walk found it, with the folder it was found in (its path,
// with a trailing separator, and its identity) and the guard that keeps
// other instances off it, which the batch releases when done.
struct BatchFile {
    std::wstring path;
    plat::FileId id;
    std::wstring folder;
    plat::FileId folderId;
    plat::GuardHandle guard = nullptr;
};

// Adds a file to the batch and runs the batch once it is full. A batch
// holds files of one kind of work only. 1 when a file of the batch failed
// (reported; the others are done).
int batchAdd(BatchWork work, const BatchFile& file);
// Runs the files the batch holds; 0 when there were none. 1 when a file
// failed (reported; the others are done).
int batchRun();
