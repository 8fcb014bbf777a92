// SHA-256 against the standard's test vectors, whole and fed in pieces.
#include <gtest/gtest.h>

#include <string>

#include "io/sha256.hpp"

namespace calvenor {
namespace {

TEST(Sha256, StandardVectorsWholeAndInPieces) {
    EXPECT_EQ(sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(sha256(two), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // A million 'a', in pieces that straddle the 64-byte blocks.
    Sha256 h;
    const std::string piece(37, 'a');
    std::size_t fed = 0;
    for (; fed + piece.size() <= 1000000; fed += piece.size()) h.update(piece);
    h.update(std::string(1000000 - fed, 'a'));
    EXPECT_EQ(h.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // The digest so far leaves the state as it was.
    Sha256 g;
    g.update("ab");
    (void)g.hex();
    g.update("c");
    EXPECT_EQ(g.hex(), sha256("abc"));
}

}  // namespace
}  // namespace calvenor
