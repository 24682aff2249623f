// The coder's reference paths: one PutBits per field through a 32-bit
// accumulator, and a decoder that walks the tree bit by bit. Slow; they
// exist so that the tests and the bench can hold the fast paths against
// them. Same contracts as the fast ones.
#pragma once

#include "huffman_internal.h"

HuffmanResult HuffmanEncodeReference(const uint8_t* source, uint32_t length, uint8_t* destination,
                                     std::size_t capacity, std::size_t* written);
HuffmanResult HuffmanDecodeReference(uint8_t* destination, std::size_t destinationSize, const uint8_t* source,
                                     std::size_t sourceSize, HuffmanDecodeInfo* info);
// The decode table by a tree walk from the root for each of the 4096 indexes.
HuffmanResult BuildDecodeTableReference(HuffmanCoder& coder);
