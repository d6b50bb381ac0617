// container_fixture - encrypted rule files for tests, made with OpenSSL directly
//
// Every encrypted fixture of the suites comes from here, so that the module's
// own decryption is checked against an independent implementation of the
// container (never against itself run backwards):
// - fixture_key_from_cert(cert): the key text of a certificate file's exact
//   bytes: OpenSSL's MD5 as 32 upper-case hexadecimal digits.
// - fixture_container(plain, key): the raw DES container: 4-byte big-endian
//   length, then the plain text padded with zero bytes to a multiple of 8,
//   enciphered in CBC mode from a zero vector. A key text of 32 hex digits is
//   two-key triple DES (EVP des-ede-cbc), 48 digits three-key triple DES (EVP
//   des-ede3-cbc), both one chain over the whole text; 16 digits single DES
//   (DES_ncbc_encrypt), restarting from the zero vector every 8192 bytes.
// - fixture_base64_lines(bytes): EVP_EncodeBlock's text broken into lines of 72
//   characters, each followed by CR LF (an empty input gives CR LF).
// - fixture_rule_file(plain, key): the stored rule file, the Base64 lines of the
//   container (encryption type 2).
// - write_rule_file(path, plain, key): fixture_rule_file written to path.
// Data helpers of the container suites:
// - fixture_random_bytes(n, seed): n bytes from a fixed-seed generator.
// - fixture_stream(bytes): a temporary stream (tmpfile) holding bytes,
//   positioned at its start; the caller closes it.
// - fixture_stream_rest(stream): everything from the stream's position on.
// A key text that is not 16, 32 or 48 hex digits, or an OpenSSL failure, fails
// the current test (ADD_FAILURE) and gives an empty string.
#ifndef TESTS_SUPPORT_CONTAINER_FIXTURE_H
#define TESTS_SUPPORT_CONTAINER_FIXTURE_H

#include <cstdio>
#include <string>

namespace hdrw_test {

std::string fixture_key_from_cert(const std::string &cert);
std::string fixture_container(const std::string &plain, const std::string &key);
std::string fixture_base64_lines(const std::string &bytes);
std::string fixture_rule_file(const std::string &plain, const std::string &key);
void write_rule_file(const std::string &path, const std::string &plain, const std::string &key);

std::string fixture_random_bytes(size_t n, unsigned seed);
FILE *fixture_stream(const std::string &bytes);
std::string fixture_stream_rest(FILE *stream);

}  // namespace hdrw_test

#endif
