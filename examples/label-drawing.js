// The example pages' label: a frame of rules, a bar pattern and a line of
// text on a 400 x 240 canvas, 50 x 30 mm at 8 printer dots per millimetre.
// A plain script, so pages with or without modules can share it.
"use strict";

function drawExampleLabel(canvas, text) {
  const g = canvas.getContext("2d");
  g.fillStyle = "#fff";
  g.fillRect(0, 0, canvas.width, canvas.height);
  g.fillStyle = "#000";
  g.fillRect(0, 0, canvas.width, 8);                  // top rule
  g.fillRect(0, canvas.height - 8, canvas.width, 8);  // bottom rule
  g.fillRect(0, 0, 8, canvas.height);                 // left rule
  g.fillRect(canvas.width - 8, 0, 8, canvas.height);  // right rule
  for (let i = 0; i < 30; i++) {                      // a bar pattern
    g.fillRect(40 + i * 10, 150, i % 3 === 0 ? 6 : 3, 60);
  }
  g.font = "bold 40px sans-serif";
  g.fillText(text, 40, 110);
  return canvas;
}
