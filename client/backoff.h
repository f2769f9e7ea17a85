// The delays between connection attempts of libktzclient: the first delay,
// doubled after every failed attempt up to a ceiling, each shortened by a
// random part of at most a quarter so that the clients of a restarted daemon
// spread out. Back to the first delay after a connection succeeded.
#ifndef KTZCLIENT_BACKOFF_H
#define KTZCLIENT_BACKOFF_H

#include <cstdint>

namespace ktzclient
{

class Backoff
{
  public:
    // Delays in milliseconds; initialMs at least 1, maxMs at least initialMs
    // (out-of-range values are raised to those bounds).
    Backoff(int initialMs, int maxMs);
    // The delay before the next attempt, shortened by `random` modulo a
    // quarter of it plus one; the delay after it is doubled, never past the
    // ceiling (and never overflowing, whatever the ceiling).
    int Next(uint32_t random);
    void Reset() { nextMs_ = initialMs_; }

  private:
    int initialMs_;
    int maxMs_;
    int nextMs_;
};

} // namespace ktzclient

#endif
