// keygen: generates the driver's RSA key store and the test key's private
// part, deterministically.
//
// Usage:  keygen <source root>
//
// Writes, below the source root:
//   Image/KeyStore.cpp            the driver's key store mRsaKeySet: for 256,
//                                 2048 and 3072 bits the modulus N, N' =
//                                 -N^-1 mod R and Rinv = R^-1 mod N
//                                 (R = 2^bits), public parts only;
//   Tools/signer/TestKeyPrivate.h the 256-bit key's modulus and private
//   Tools/signer/TestKeyPrivate.cpp exponent, for the test signer only.
//
// Determinism: every random bit comes from SplitMix64 (defined below, not a
// library generator, so the output does not depend on the GMP version's
// random functions) with the fixed seed kSeedBase + key bits. Each prime p
// (then q) is the next prime after a candidate of bits/2 random bits with the
// two top bits and the low bit set; a prime whose p - 1 shares a factor with
// 65537, that is too long, or that repeats p is skipped by drawing a new
// candidate. With the top two bits set, N = p * q has exactly `bits` bits.
// Running the tool twice gives byte-identical files.
//
// Exponent 65537; private exponent d = 65537^-1 mod lcm(p - 1, q - 1).
// Numbers are written least significant byte first, as the driver stores
// them.

#include <gmp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kSeedBase = 0x43414D4552414B59ULL;  // "CAMERAKY"
constexpr unsigned long kPublicExponent = 65537;
constexpr unsigned kKeySizes[] = {256, 2048, 3072};

// SplitMix64 (Steele, Lea, Flood 2014): a tiny generator, defined here in full.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t Seed) : State(Seed) {}
  std::uint64_t Next() {
    std::uint64_t Z = (State += 0x9E3779B97F4A7C15ULL);
    Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBULL;
    return Z ^ (Z >> 31);
  }

 private:
  std::uint64_t State;
};

// RAII holder for an mpz_t.
struct Mpz {
  mpz_t V;
  Mpz() { mpz_init(V); }
  ~Mpz() { mpz_clear(V); }
  Mpz(const Mpz &) = delete;
  Mpz &operator=(const Mpz &) = delete;
};

struct KeySet {
  unsigned Bits = 0;
  Mpz N, NPrime, RInverse, D;
};

// A prime of exactly Bits bits whose top two bits are set and for which
// gcd(p - 1, 65537) = 1, different from Avoid.
void GeneratePrime(SplitMix64 &Rng, unsigned Bits, const mpz_t Avoid, mpz_t Prime) {
  Mpz Candidate, PMinusOne, Gcd;
  for (;;) {
    // Draw Bits random bits, 64 at a time, most significant word first.
    mpz_set_ui(Candidate.V, 0);
    for (unsigned Done = 0; Done < Bits; Done += 64) {
      mpz_mul_2exp(Candidate.V, Candidate.V, 64);
      std::uint64_t Word = Rng.Next();
      mpz_add_ui(Candidate.V, Candidate.V, static_cast<unsigned long>(Word));
    }
    mpz_fdiv_r_2exp(Candidate.V, Candidate.V, Bits);
    // Top two bits and the low bit set.
    mpz_setbit(Candidate.V, Bits - 1);
    mpz_setbit(Candidate.V, Bits - 2);
    mpz_setbit(Candidate.V, 0);
    mpz_nextprime(Prime, Candidate.V);
    mpz_sub_ui(PMinusOne.V, Prime, 1);
    mpz_gcd_ui(Gcd.V, PMinusOne.V, kPublicExponent);
    if (mpz_sizeinbase(Prime, 2) == Bits && mpz_cmp_ui(Gcd.V, 1) == 0 && mpz_cmp(Prime, Avoid) != 0) {
      return;
    }
  }
}

void Fail(const char *What) {
  std::fprintf(stderr, "keygen: %s\n", What);
  std::exit(1);
}

void GenerateKeySet(unsigned Bits, KeySet &Set) {
  SplitMix64 Rng(kSeedBase + Bits);
  Mpz P, Q, Zero, R, Inverse, PMinusOne, QMinusOne, Lambda, E;
  Set.Bits = Bits;

  // p and q of Bits/2 bits each; N = p * q of exactly Bits bits, odd.
  GeneratePrime(Rng, Bits / 2, Zero.V, P.V);
  GeneratePrime(Rng, Bits / 2, P.V, Q.V);
  mpz_mul(Set.N.V, P.V, Q.V);
  if (mpz_sizeinbase(Set.N.V, 2) != Bits || mpz_even_p(Set.N.V)) {
    Fail("modulus of the wrong size");
  }

  // R = 2^Bits; N' = R - (N^-1 mod R) = -N^-1 mod R; Rinv = R^-1 mod N.
  mpz_setbit(R.V, Bits);
  if (mpz_invert(Inverse.V, Set.N.V, R.V) == 0) {
    Fail("N has no inverse modulo R");
  }
  mpz_sub(Set.NPrime.V, R.V, Inverse.V);
  mpz_mod(Set.NPrime.V, Set.NPrime.V, R.V);
  if (mpz_invert(Set.RInverse.V, R.V, Set.N.V) == 0) {
    Fail("R has no inverse modulo N");
  }

  // d = e^-1 mod lcm(p - 1, q - 1).
  mpz_sub_ui(PMinusOne.V, P.V, 1);
  mpz_sub_ui(QMinusOne.V, Q.V, 1);
  mpz_lcm(Lambda.V, PMinusOne.V, QMinusOne.V);
  mpz_set_ui(E.V, kPublicExponent);
  if (mpz_invert(Set.D.V, E.V, Lambda.V) == 0) {
    Fail("65537 has no inverse modulo lambda(N)");
  }
}

// Bytes little-endian bytes of Value (which must fit).
std::vector<std::uint8_t> LittleEndian(const mpz_t Value, std::size_t Bytes) {
  std::vector<std::uint8_t> Out(Bytes, 0);
  std::size_t Count = 0;
  if ((mpz_sizeinbase(Value, 2) + 7) / 8 > Bytes) {
    Fail("number too long for its field");
  }
  if (mpz_sgn(Value) != 0) {
    mpz_export(Out.data(), &Count, -1, 1, 0, 0, Value);
  }
  return Out;
}

std::string ByteRows(const std::vector<std::uint8_t> &Bytes, const char *Indent) {
  std::string Text;
  char Item[8];
  for (std::size_t Index = 0; Index < Bytes.size(); ++Index) {
    if (Index % 16 == 0) {
      Text += Indent;
    }
    std::snprintf(Item, sizeof(Item), "0x%02X", Bytes[Index]);
    Text += Item;
    if (Index + 1 < Bytes.size()) {
      Text += (Index % 16 == 15) ? ",\n" : ", ";
    } else {
      Text += "\n";
    }
  }
  return Text;
}

void WriteFile(const std::string &Path, const std::string &Text) {
  FILE *File = std::fopen(Path.c_str(), "wb");
  if (File == nullptr) {
    std::fprintf(stderr, "keygen: cannot write %s\n", Path.c_str());
    std::exit(1);
  }
  if (std::fwrite(Text.data(), 1, Text.size(), File) != Text.size() || std::fclose(File) != 0) {
    std::fprintf(stderr, "keygen: cannot write %s\n", Path.c_str());
    std::exit(1);
  }
}

const char *kRegenerate =
    "  Regenerate (see docs/KEYS.md):\n"
    "    cmake --build <build dir> --target keygen\n"
    "    <build dir>/keygen <source root>\n"
    "  The output is reproducible: the same command always writes the same\n"
    "  bytes (SplitMix64, fixed seeds).\n";

std::string KeyStoreSource(const KeySet *Sets) {
  static const char *const kNames[] = {"N, the modulus", "N' = -N^-1 mod R", "Rinv = R^-1 mod N"};
  std::string Text;
  Text +=
      "/** @file\n"
      "  The driver's key store: three RSA public keys of 256, 2048 and 3072\n"
      "  bits (exponent 65537, not stored), each with its Montgomery constants\n"
      "  N' = -N^-1 mod R and Rinv = R^-1 mod N, R = 2^bits. Every number is\n"
      "  little-endian, KeyBytes digits; the stored Length is KeyBytes.\n"
      "\n"
      "  GENERATED by Tools/keygen; do not edit by hand.\n";
  Text += kRegenerate;
  Text +=
      "**/\n"
      "\n"
      "#include \"BigNum.h\"\n"
      "\n"
      "CONST RSA_KEY_SET  mRsaKeySet = {\n";
  for (std::size_t SetIndex = 0; SetIndex < 3; ++SetIndex) {
    const KeySet &Set = Sets[SetIndex];
    std::size_t Bytes = Set.Bits / 8;
    const mpz_t *Numbers[] = {&Set.N.V, &Set.NPrime.V, &Set.RInverse.V};
    for (std::size_t Number = 0; Number < 3; ++Number) {
      Text += "  //\n  // " + std::to_string(Set.Bits) + "-bit set: " + kNames[Number] + ".\n  //\n";
      Text += "  {\n    {\n";
      Text += ByteRows(LittleEndian(*Numbers[Number], Bytes), "      ");
      Text += "    },\n    " + std::to_string(Bytes) + "\n  },\n";
    }
  }
  Text += "};\n";
  return Text;
}

std::string TestKeyHeader() {
  std::string Text;
  Text +=
      "// The 256-bit test key's private part, for the test signer only; it\n"
      "// never reaches the driver, whose key store (Image/KeyStore.cpp) holds\n"
      "// the public modulus. Both numbers are 32 bytes, least significant first.\n"
      "//\n"
      "// GENERATED by Tools/keygen; do not edit by hand.\n";
  for (const char *Line = kRegenerate; *Line != '\0';) {
    const char *End = Line;
    while (*End != '\n' && *End != '\0') {
      ++End;
    }
    Text += "//" + std::string(Line, End) + "\n";
    Line = (*End == '\n') ? End + 1 : End;
  }
  Text +=
      "#ifndef CAMERA_TOOLS_SIGNER_TEST_KEY_PRIVATE_H\n"
      "#define CAMERA_TOOLS_SIGNER_TEST_KEY_PRIVATE_H\n"
      "\n"
      "#include <cstddef>\n"
      "#include <cstdint>\n"
      "\n"
      "namespace TestSigner {\n"
      "\n"
      "inline constexpr std::size_t kTestKeyBytes = 32;\n"
      "inline constexpr std::uint32_t kTestKeyPublicExponent = 65537;\n"
      "\n"
      "// The modulus N (equal to the 256-bit N of the driver's key store).\n"
      "extern const std::uint8_t kTestKeyModulus[kTestKeyBytes];\n"
      "\n"
      "// The private exponent d = 65537^-1 mod lcm(p - 1, q - 1).\n"
      "extern const std::uint8_t kTestKeyPrivateExponent[kTestKeyBytes];\n"
      "\n"
      "}  // namespace TestSigner\n"
      "\n"
      "#endif\n";
  return Text;
}

std::string TestKeySource(const KeySet &Set) {
  std::string Text;
  Text +=
      "// The 256-bit test key's modulus and private exponent (see\n"
      "// TestKeyPrivate.h). For the test signer only.\n"
      "//\n"
      "// GENERATED by Tools/keygen; do not edit by hand.\n"
      "\n"
      "#include \"TestKeyPrivate.h\"\n"
      "\n"
      "namespace TestSigner {\n"
      "\n"
      "const std::uint8_t kTestKeyModulus[kTestKeyBytes] = {\n";
  Text += ByteRows(LittleEndian(Set.N.V, 32), "    ");
  Text +=
      "};\n"
      "\n"
      "const std::uint8_t kTestKeyPrivateExponent[kTestKeyBytes] = {\n";
  Text += ByteRows(LittleEndian(Set.D.V, 32), "    ");
  Text +=
      "};\n"
      "\n"
      "}  // namespace TestSigner\n";
  return Text;
}

}  // namespace

int main(int Argc, char **Argv) {
  if (Argc != 2) {
    std::fprintf(stderr, "usage: keygen <source root>\n");
    return 2;
  }
  std::string Root = Argv[1];

  // Generate the three sets in store order.
  KeySet Sets[3];
  for (std::size_t Index = 0; Index < 3; ++Index) {
    GenerateKeySet(kKeySizes[Index], Sets[Index]);
  }

  // Write the driver's key store and the test signer's private key.
  WriteFile(Root + "/CameraUpdatePkg/CameraUpdateDxe/Image/KeyStore.cpp", KeyStoreSource(Sets));
  WriteFile(Root + "/Tools/signer/TestKeyPrivate.h", TestKeyHeader());
  WriteFile(Root + "/Tools/signer/TestKeyPrivate.cpp", TestKeySource(Sets[0]));
  std::printf("keygen: wrote CameraUpdatePkg/CameraUpdateDxe/Image/KeyStore.cpp, Tools/signer/TestKeyPrivate.{h,cpp}\n");
  return 0;
}
