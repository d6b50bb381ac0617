// container_fixture - encrypted test fixtures built with OpenSSL's own calls
// (EVP ciphers, DES_ncbc_encrypt, MD5, EVP_EncodeBlock); see the header.
#include "container_fixture.h"

#include <gtest/gtest.h>
#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/md5.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "test_support.h"

namespace hdrw_test {

namespace {

bool fixture_hex_key(const std::string &text, std::vector<unsigned char> &key) {
  if (text.size() != 16 && text.size() != 32 && text.size() != 48) {
    return false;
  }
  key.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (size_t j = i; j < i + 2; j++) {
      char c = text[j];
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = (unsigned)(c - '0');
      } else if (c >= 'A' && c <= 'F') {
        digit = (unsigned)(c - 'A' + 10);
      } else if (c >= 'a' && c <= 'f') {
        digit = (unsigned)(c - 'a' + 10);
      } else {
        return false;
      }
      value = value * 16 + digit;
    }
    key.push_back((unsigned char)value);
  }
  return true;
}

bool fixture_evp_cbc(const EVP_CIPHER *cipher, const std::vector<unsigned char> &key,
                     const std::vector<unsigned char> &in, std::vector<unsigned char> &out) {
  unsigned char iv[8] = {0};
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) {
    return false;
  }
  out.assign(in.size() + 16, 0);
  int len = 0;
  int fin = 0;
  bool ok =
      EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv) == 1 &&
      EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
      (in.empty() || EVP_EncryptUpdate(ctx, out.data(), &len, in.data(), (int)in.size()) == 1) &&
      EVP_EncryptFinal_ex(ctx, out.data() + len, &fin) == 1;
  EVP_CIPHER_CTX_free(ctx);
  out.resize(ok ? (size_t)(len + fin) : 0);
  return ok;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void fixture_single_des(const std::vector<unsigned char> &key, const std::vector<unsigned char> &in,
                        std::vector<unsigned char> &out) {
  DES_cblock block;
  memcpy(block, key.data(), 8);
  DES_key_schedule schedule;
  DES_set_key_unchecked(&block, &schedule);
  out.assign(in.size(), 0);
  for (size_t pos = 0; pos < in.size(); pos += 8192) {
    size_t n = std::min<size_t>(8192, in.size() - pos);
    DES_cblock iv = {0};
    DES_ncbc_encrypt(in.data() + pos, out.data() + pos, (long)n, &schedule, &iv, DES_ENCRYPT);
  }
}
#pragma GCC diagnostic pop

}  // namespace

std::string fixture_key_from_cert(const std::string &cert) {
  unsigned char digest[16];
  unsigned int len = 0;
  if (EVP_Digest(cert.data(), cert.size(), digest, &len, EVP_md5(), nullptr) != 1 || len != 16) {
    ADD_FAILURE() << "EVP_Digest(md5) failed";
    return {};
  }
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char b : digest) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

std::string fixture_container(const std::string &plain, const std::string &key) {
  std::vector<unsigned char> bytes;
  if (!fixture_hex_key(key, bytes)) {
    ADD_FAILURE() << "fixture key text is not 16, 32 or 48 hex digits: " << key;
    return {};
  }
  std::vector<unsigned char> padded(plain.begin(), plain.end());
  padded.resize((plain.size() + 7) / 8 * 8, 0);
  std::vector<unsigned char> cipher;
  if (bytes.size() == 8) {
    fixture_single_des(bytes, padded, cipher);
  } else if (!fixture_evp_cbc(bytes.size() == 16 ? EVP_des_ede_cbc() : EVP_des_ede3_cbc(), bytes,
                              padded, cipher)) {
    ADD_FAILURE() << "OpenSSL triple-DES encryption failed";
    return {};
  }
  uint32_t len = (uint32_t)plain.size();
  std::string out;
  out += (char)(len >> 24);
  out += (char)(len >> 16);
  out += (char)(len >> 8);
  out += (char)len;
  out.append(cipher.begin(), cipher.end());
  return out;
}

std::string fixture_base64_lines(const std::string &bytes) {
  std::vector<unsigned char> text(4 * ((bytes.size() + 2) / 3) + 1);
  int n = EVP_EncodeBlock(text.data(), (const unsigned char *)bytes.data(), (int)bytes.size());
  std::string out;
  for (int pos = 0; pos < n; pos += 72) {
    out.append((const char *)text.data() + pos, (size_t)std::min(72, n - pos));
    out += "\r\n";
  }
  if (n == 0) {
    out = "\r\n";
  }
  return out;
}

std::string fixture_rule_file(const std::string &plain, const std::string &key) {
  std::string container = fixture_container(plain, key);
  if (container.empty()) {
    return {};
  }
  return fixture_base64_lines(container);
}

void write_rule_file(const std::string &path, const std::string &plain, const std::string &key) {
  write_file(path, fixture_rule_file(plain, key));
}

std::string fixture_random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char &c : s) {
    c = (char)(rng() & 0xFF);
  }
  return s;
}

FILE *fixture_stream(const std::string &bytes) {
  FILE *f = tmpfile();
  if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    ADD_FAILURE() << "cannot fill a temporary stream";
  }
  if (f != nullptr) {
    rewind(f);
  }
  return f;
}

std::string fixture_stream_rest(FILE *stream) {
  std::string s;
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, stream)) > 0) {
    s.append(buf, n);
  }
  return s;
}

}  // namespace hdrw_test
