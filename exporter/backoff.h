// The delays between attempts to reach the daemon: the first delay, doubled
// after every failed attempt up to a ceiling, back to the first after a
// connection succeeded.
#ifndef KTZEXPORTER_BACKOFF_H
#define KTZEXPORTER_BACKOFF_H

namespace ktzexporter
{

class Backoff
{
  public:
    Backoff(int initialMs, int maxMs);
    // The delay before the next attempt; the one after it is doubled.
    int Next();
    void Reset();

  private:
    int initialMs_;
    int maxMs_;
    int nextMs_;
};

} // namespace ktzexporter

#endif
