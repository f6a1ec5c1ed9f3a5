// NumPy's .npy files of float32, int64 and int32 arrays in C order, read and written without
// NumPy. The writer lays out the header exactly as numpy.save does, so that a file read and
// written again keeps its bytes.

import { readFileSync, renameSync, writeFileSync } from "node:fs";

const MAGIC = "\x93NUMPY";
// numpy.save pads the header so that the data starts at a multiple of this.
const ALIGNMENT = 64;
// numpy.save leaves room after the header for the first extent to grow to this many digits.
const GROWTH_DIGITS = 21;

const ELEMENT_TYPES = {
  float32: {
    descr: "<f4",
    size: 4,
    Array: Float32Array,
    get: (view, at) => view.getFloat32(at, true),
    set: (view, at, value) => view.setFloat32(at, value, true),
  },
  int64: {
    descr: "<i8",
    size: 8,
    Array: BigInt64Array,
    get: (view, at) => view.getBigInt64(at, true),
    set: (view, at, value) => view.setBigInt64(at, value, true),
  },
  int32: {
    descr: "<i4",
    size: 4,
    Array: Int32Array,
    get: (view, at) => view.getInt32(at, true),
    set: (view, at, value) => view.setInt32(at, value, true),
  },
};

const DTYPE_OF_DESCR = Object.fromEntries(
  Object.entries(ELEMENT_TYPES).map(([dtype, type]) => [type.descr, dtype]),
);

function supportedTypes() {
  return Object.entries(ELEMENT_TYPES)
    .map(([dtype, type]) => `${dtype} '${type.descr}'`)
    .join(", ");
}

/** The element type of `dtype`, or an error naming `where` and the types there are. */
function elementType(dtype, where) {
  const type = ELEMENT_TYPES[dtype];
  if (type === undefined) {
    throw new Error(`${where}: unsupported element type ${dtype} (supported: ${supportedTypes()})`);
  }
  return type;
}

export function elementCount(shape) {
  return shape.reduce((count, extent) => count * extent, 1);
}

/** The header's dictionary `{'descr': ..., 'fortran_order': ..., 'shape': (...), }`. */
function parseHeader(header, where) {
  const text = header.trim();
  const descr = /'descr'\s*:\s*'([^']*)'/.exec(text);
  const fortranOrder = /'fortran_order'\s*:\s*(True|False)/.exec(text);
  const shape = /'shape'\s*:\s*\(([^)]*)\)/.exec(text);
  if (!text.startsWith("{") || !text.endsWith("}") || !descr || !fortranOrder || !shape) {
    throw new Error(`${where}: malformed header ${JSON.stringify(text)}`);
  }
  const dtype = DTYPE_OF_DESCR[descr[1]];
  if (dtype === undefined) {
    throw new Error(
      `${where}: unsupported element type '${descr[1]}' (supported: ${supportedTypes()})`,
    );
  }
  if (fortranOrder[1] === "True") {
    throw new Error(`${where}: Fortran order is not supported, only C order`);
  }
  const extents = shape[1]
    .split(",")
    .map((extent) => extent.trim())
    .filter((extent) => extent !== "");
  for (const extent of extents) {
    if (!/^\d+$/.test(extent) || !Number.isSafeInteger(Number(extent))) {
      throw new Error(`${where}: bad extent '${extent}' in shape (${shape[1]})`);
    }
  }
  return { dtype, shape: extents.map(Number) };
}

/** The array in the .npy bytes `bytes` (a Uint8Array); `where` names them in errors. */
export function decodeNpy(bytes, where = "npy data") {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const magic = String.fromCharCode(...bytes.subarray(0, MAGIC.length));
  if (bytes.length < MAGIC.length + 2 || magic !== MAGIC) {
    throw new Error(`${where}: not an .npy file (no \\x93NUMPY magic)`);
  }
  const major = bytes[MAGIC.length];
  if (major < 1 || major > 3) {
    throw new Error(`${where}: unsupported .npy version ${major}.${bytes[MAGIC.length + 1]}`);
  }
  const lengthSize = major === 1 ? 2 : 4;
  const headerStart = MAGIC.length + 2 + lengthSize;
  if (bytes.length < headerStart) {
    throw new Error(`${where}: truncated in the header length`);
  }
  const headerLength =
    lengthSize === 2
      ? view.getUint16(MAGIC.length + 2, true)
      : view.getUint32(MAGIC.length + 2, true);
  const dataStart = headerStart + headerLength;
  if (bytes.length < dataStart) {
    throw new Error(
      `${where}: truncated in the header (${headerLength} bytes announced, ` +
        `${bytes.length - headerStart} present)`,
    );
  }
  const header = new TextDecoder(major === 3 ? "utf-8" : "latin1").decode(
    bytes.subarray(headerStart, dataStart),
  );
  const { dtype, shape } = parseHeader(header, where);
  const type = ELEMENT_TYPES[dtype];
  const count = elementCount(shape);
  const expectedBytes = count * type.size;
  const presentBytes = bytes.length - dataStart;
  if (presentBytes !== expectedBytes) {
    throw new Error(
      `${where}: shape (${shape.join(", ")}) of ${dtype} needs ${expectedBytes} bytes of data, ` +
        `the file has ${presentBytes}`,
    );
  }
  const data = new type.Array(count);
  for (let i = 0; i < count; ++i) {
    data[i] = type.get(view, dataStart + i * type.size);
  }
  return { dtype, shape, data };
}

/** The header dictionary as numpy.save writes it: sorted keys, Python's tuple repr. */
function headerText(descr, shape) {
  const tuple = shape.length === 1 ? `(${shape[0]},)` : `(${shape.join(", ")})`;
  const text = `{'descr': '${descr}', 'fortran_order': False, 'shape': ${tuple}, }`;
  const growth = shape.length > 0 ? GROWTH_DIGITS - String(shape[0]).length : 0;
  return text + " ".repeat(Math.max(growth, 0));
}

/** The .npy bytes of `array` ({dtype, shape, data}); `where` names it in errors. */
export function encodeNpy(array, where = "array") {
  const type = elementType(array.dtype, where);
  if (!array.shape.every((extent) => Number.isSafeInteger(extent) && extent >= 0)) {
    throw new Error(`${where}: bad shape [${array.shape.join(", ")}]`);
  }
  const count = elementCount(array.shape);
  if (array.data.length !== count) {
    throw new Error(
      `${where}: ${array.data.length} elements for shape [${array.shape.join(", ")}], ` +
        `which needs ${count}`,
    );
  }
  const header = headerText(type.descr, array.shape);
  const layout = (lengthSize) => {
    const prefixLength = MAGIC.length + 2 + lengthSize;
    const padding = ALIGNMENT - ((prefixLength + header.length + 1) % ALIGNMENT);
    return { prefixLength, padding, headerLength: header.length + padding + 1 };
  };
  // Version 1 has a 16-bit header length; a longer header (a very high rank) needs version 2.
  const major = layout(2).headerLength <= 0xffff ? 1 : 2;
  const { prefixLength, padding, headerLength } = layout(major === 1 ? 2 : 4);
  const dataStart = prefixLength + headerLength;
  const bytes = new Uint8Array(dataStart + count * type.size);
  const view = new DataView(bytes.buffer);
  for (let i = 0; i < MAGIC.length; ++i) {
    bytes[i] = MAGIC.charCodeAt(i);
  }
  bytes[MAGIC.length] = major;
  bytes[MAGIC.length + 1] = 0;
  if (major === 1) {
    view.setUint16(MAGIC.length + 2, headerLength, true);
  } else {
    view.setUint32(MAGIC.length + 2, headerLength, true);
  }
  const headerBytes = new TextEncoder().encode(header + " ".repeat(padding) + "\n");
  bytes.set(headerBytes, prefixLength);
  for (let i = 0; i < count; ++i) {
    type.set(view, dataStart + i * type.size, array.data[i]);
  }
  return bytes;
}

export function readNpy(path) {
  let bytes;
  try {
    bytes = readFileSync(path);
  } catch (error) {
    throw new Error(`cannot read ${path}: ${error.message}`);
  }
  return decodeNpy(bytes, path);
}

/** Writes `bytes` to `path` through a temporary file, so that no half-written file is left. */
export function writeFileAtomically(path, bytes) {
  const temporary = `${path}.partial`;
  writeFileSync(temporary, bytes);
  renameSync(temporary, path);
}

export function writeNpy(path, array) {
  writeFileAtomically(path, encodeNpy(array, path));
}
