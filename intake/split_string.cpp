// SplitString and its copy-free twin, which the endpoint uses so that a large
// body is not held twice.
#include "intake/split_string.h"

#include <string_view>

std::vector<std::string> SplitString(std::string text, std::string delimiter) {
  std::vector<std::string> stringVector;
  if (delimiter.empty()) {
    stringVector.push_back(text);
    return stringVector;
  }
  size_t position = 0;
  size_t found;
  while ((found = text.find(delimiter, position)) != std::string::npos) {
    std::string temp = text.substr(position, found - position);
    stringVector.push_back(temp);
    position = found + delimiter.size();
  }
  stringVector.push_back(text.substr(position));
  return stringVector;
}

bool FindSplitPiece(const char* text, size_t length, const std::string& delimiter,
                    size_t index, size_t* offset, size_t* pieceLength) {
  std::string_view whole(text, length);
  size_t position = 0;
  for (size_t piece = 0;; ++piece) {
    size_t found = delimiter.empty() ? std::string_view::npos
                                     : whole.find(delimiter, position);
    if (piece == index) {
      *offset = position;
      *pieceLength = (found == std::string_view::npos ? length : found) - position;
      return true;
    }
    if (found == std::string_view::npos) return false;
    position = found + delimiter.size();
  }
}
