// Decodes a GIF with the browser's ImageDecoder and describes what it shows,
// for the browser tests. decodeGif(base64 of the file) resolves to text, one
// item a line:
//   frames COUNT
//   repetition COUNT          (Infinity for "forever")
//   frame INDEX WIDTH HEIGHT TIMESTAMP_US DURATION_US RGBA_BASE64
// or to "error MESSAGE" when the browser cannot decode the file.
"use strict";

function toBase64(bytes) {
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(text);
}

// The frame's pixels as straight (not premultiplied) RGBA, untouched by colour
// management: GIF alpha is 0 or 255, so the canvas's premultiplied store
// keeps every opaque pixel exact, and a transparent one reads back as 0, 0, 0, 0.
function pixelsOf(frame) {
  const width = frame.displayWidth, height = frame.displayHeight;
  const canvas = new OffscreenCanvas(width, height);
  const context = canvas.getContext("2d", { colorSpace: "srgb", willReadFrequently: true, alpha: true });
  context.clearRect(0, 0, width, height);
  context.drawImage(frame, 0, 0);
  return context.getImageData(0, 0, width, height, { colorSpace: "srgb" }).data;
}

async function decodeGif(base64) {
  if (typeof ImageDecoder === "undefined") return "error ImageDecoder is not available in this browser";
  const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
  if (!(await ImageDecoder.isTypeSupported("image/gif"))) return "error image/gif is not supported";
  const decoder = new ImageDecoder({
    data: bytes,
    type: "image/gif",
    colorSpaceConversion: "none",
    premultiplyAlpha: "none",
  });
  try {
    await decoder.tracks.ready;
    await decoder.completed;
    const track = decoder.tracks.selectedTrack;
    const lines = ["frames " + track.frameCount, "repetition " + track.repetitionCount];
    for (let i = 0; i < track.frameCount; ++i) {
      const { image, complete } = await decoder.decode({ frameIndex: i, completeFramesOnly: true });
      if (!complete) return "error frame " + i + " is incomplete";
      const rgba = pixelsOf(image);
      lines.push(["frame", i, image.displayWidth, image.displayHeight, image.timestamp, image.duration,
                  toBase64(rgba)].join(" "));
      image.close();
    }
    return lines.join("\n");
  } catch (e) {
    return "error " + e;
  } finally {
    decoder.close();
  }
}
