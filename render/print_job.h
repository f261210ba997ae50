// The print job: puts the stored label image on one landscape page of a
// custom paper sized from the image, on the named printer queue.
#pragma once
#include <string>

// Prints the temporary image file on printName (empty: "VELQ"). Reports its
// progress and failures as diagnostic lines only; always returns 0.
int PrintLabelImage(std::string printName);

// The custom paper for an image of width x height pixels, in tenths of a
// millimetre: the length follows the width at 10.05/8 per pixel, the width
// follows the height at 10/8. Wide enough not to overflow for any int size.
struct LabelPaper {
  long long length;
  long long width;
};
LabelPaper LabelPaperSize(int width, int height);

// The printer name as the spooler gets it: each byte to the character of
// the same code, no code-page conversion.
std::wstring WidenPrinterName(const std::string& printName);
