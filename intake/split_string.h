// Splitting a posted body into its comma-separated pieces.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Splits text at every occurrence of delimiter (which must not be empty).
// A text with k delimiters gives k + 1 pieces; empty pieces stay.
std::vector<std::string> SplitString(std::string text, std::string delimiter);

// Where piece number index of SplitString(text, delimiter) lies in text,
// without copying anything. Returns false when there are fewer pieces.
bool FindSplitPiece(const char* text, size_t length, const std::string& delimiter,
                    size_t index, size_t* offset, size_t* pieceLength);
