// Preloaded into s3rver (node -r): object keys stay opaque, as the service
// keeps them. s3rver's file store joins a key's segments into a file path, so
// "dot/../a" would land on the file of "a" and "dot/./a" on that of "dot/a".
// Here "." and ".." segments are stored as "%2E" and "%2E%2E" (and "%" as
// "%25", so that stored names read back as the key they came from).
const path = require('path');

const store = require(path.join(__dirname, '..', '.s3rver', 'node_modules', 's3rver', 'lib', 'stores', 'filesystem'));

store.encodeKeyPath = key =>
  key
    .split('/')
    .map(seg => (seg === '.' || seg === '..' ? seg.replace(/\./g, '%2E') : seg.replace(/%/g, '%25')))
    .join('/');

store.decodeKeyPath = keyPath => keyPath.replace(/%(25|2E)/g, (_, code) => (code === '25' ? '%' : '.'));
