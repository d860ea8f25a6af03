// Times ONNX Runtime (CPU execution provider) on one model and one input tensor, as the peer our
// executor is measured against. Usage: node ort.mjs <ort-node-dir> <model.onnx> <input.f32>
// <output.f32> [runs]. Prints one JSON line: median and every run in ms, peak RSS in MiB.
// The input is raw float32 little-endian NCHW 1×3×1024×1024; the output "output" is written
// the same way so the executor can be compared with it.
import { createRequire } from 'node:module';
import { readFileSync, writeFileSync } from 'node:fs';
import { performance } from 'node:perf_hooks';
import path from 'node:path';

const [ortDir, modelPath, inputPath, outputPath, runsArg] = process.argv.slice(2);
if (!outputPath) {
  console.error('usage: node ort.mjs <ort-node-dir> <model.onnx> <input.f32> <output.f32> [runs]');
  process.exit(2);
}
const runs = Number(runsArg ?? 5);
const side = 1024;

const require = createRequire(path.join(path.resolve(ortDir), 'package.json'));
const ort = require('onnxruntime-node');

const bytes = readFileSync(inputPath);
if (bytes.length !== 3 * side * side * 4) {
  console.error(`${inputPath}: expected ${3 * side * side * 4} bytes, got ${bytes.length}`);
  process.exit(1);
}
const input = new Float32Array(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length));
const feeds = { input: new ort.Tensor('float32', input, [1, 3, side, side]) };

const session = await ort.InferenceSession.create(modelPath, {
  executionProviders: ['cpu'],
  intraOpNumThreads: 2,
  interOpNumThreads: 1,
  graphOptimizationLevel: 'all',
});

let result = await session.run(feeds, ['output']); // warm-up
const times = [];
for (let i = 0; i < runs; ++i) {
  const start = performance.now();
  result = await session.run(feeds, ['output']);
  times.push(performance.now() - start);
}
const output = result.output;
if (output.type !== 'float32' || output.data.length !== side * side) {
  console.error(`unexpected output: ${output.type} × ${output.data.length}`);
  process.exit(1);
}
writeFileSync(outputPath, Buffer.from(output.data.buffer, output.data.byteOffset, output.data.byteLength));
const sorted = [...times].sort((a, b) => a - b);
const median = sorted.length % 2 ? sorted[(sorted.length - 1) / 2]
                                 : (sorted[sorted.length / 2 - 1] + sorted[sorted.length / 2]) / 2;
console.log(JSON.stringify({
  median_ms: median,
  runs_ms: times,
  peak_rss_mib: process.resourceUsage().maxRSS / 1024,
}));
