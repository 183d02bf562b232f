#pragma once

class QIODevice;

// Decodes one LZMA-alone stream (13-byte header: 5 bytes of LZMA properties, then the
// unpacked size as a 64-bit little-endian number, all ones when unknown; then the raw LZMA
// data) from in to out. in must be open for reading, out for writing; neither is closed.
// The decoded bytes are written to out as they are produced, through two 64 KiB buffers.
//
// Returns true when the stream was complete: exactly the declared size was produced, or, for
// an unknown size, the end marker was reached. Returns false, after writing nothing, on a
// header shorter than 13 bytes, properties the decoder cannot take, a declared size of
// 256 GiB or more, or a dictionary above 64 MiB (after cutting it down to a known size); and false, possibly
// after writing part of the data, on corrupt data, input that ends before the stream does,
// or a write to out that fails. Never loops on bad input. Safe to call from any thread.
bool decodeLzmaStream(QIODevice *in, QIODevice *out);
