// Player tokens of other players: making them, their stored digests, and Audioscrobbler sessions.
#pragma once

#include <string>
#include <string_view>

// A new player token: a random version-4 UUID in lower-case hex, the form ListenBrainz clients
// expect. A token is never 32 hex digits alone, which scrobblers would take for an MD5 already.
std::string GeneratePlayerToken();

// The digest under which a token is stored: hex BLAKE2b-256, unkeyed so that every instance and
// every restart finds the same account by it. Tokens are random, so a fast hash is enough.
std::string PlayerTokenHash(std::string_view token);

// Lower-case hex MD5 of `text`: the Audioscrobbler protocol's password hash and its handshake
// check.
std::string Md5Hex(std::string_view text);

// Whether an Audioscrobbler 1.2 handshake's `auth` is md5(tokenMd5 + timestamp), compared in
// constant time; false without a token.
bool HandshakeMatches(std::string_view tokenMd5, std::string_view timestamp, std::string_view auth);

// An Audioscrobbler session of the account `nameKey`: "NAME.NONCE.MAC", where the MAC is keyed by
// the account's token MD5. So a session holds across instances and restarts without being stored,
// and every session of the account ends when its token is replaced or the account deleted.
std::string MakeScrobbleSession(std::string_view nameKey, std::string_view tokenMd5);
// The account name a session claims, or empty when it is not of that form.
std::string ScrobbleSessionAccount(std::string_view session);
// Whether `session` was made by MakeScrobbleSession for this account and token MD5.
bool ScrobbleSessionMatches(std::string_view session, std::string_view nameKey,
                            std::string_view tokenMd5);
