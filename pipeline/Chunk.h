// A buffer of received datagram payloads, stored back to back.
#pragma once

// One receive request offers this many bytes; a chunk is handed to the writer
// once it holds at least as many.
constexpr unsigned kReceiveSize = 65800;
// Twice one request: a request posted at any fill offset below kReceiveSize
// always fits.
constexpr unsigned kChunkSize = 2 * kReceiveSize;

struct Chunk {
    char* data;  // kChunkSize bytes
    int length;  // valid bytes, set when the chunk is handed over
};

// nullptr when memory runs out: the recording path never throws.
Chunk* NewChunk();
void FreeChunk(Chunk* chunk);
