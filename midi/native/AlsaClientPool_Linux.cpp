// The kernel's own header: alsa-lib's declarations of the same structures
// clash with it, so it lives in a file of its own.
#include <sound/asequencer.h>
#include <sys/ioctl.h>

namespace AlsaMidi
{
// alsa-lib only asks about the caller's own client; the kernel answers for any.
bool queryInputQueue (int sequencerFd, int client, int& queueCells, int& freeCells)
{
    snd_seq_client_pool pool {};
    pool.client = client;

    if (ioctl (sequencerFd, SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, &pool) != 0)
        return false;

    queueCells = pool.input_pool;
    freeCells = pool.input_free;
    return true;
}
}
