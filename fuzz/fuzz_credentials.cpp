// The credential cipher of the settings store. Any stored value, however damaged, decrypts
// without harm to either nothing or the one text whose encryption it is; any text survives
// encryption and decryption unchanged.
#include "cloud/cloudcodec.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzBytes(data, size);

    const QString restored = cloudcodec::decryptCredential(input);
    if (!restored.isEmpty())
        FUZZ_CHECK(cloudcodec::encryptCredential(restored) == input);

    // Text as the user types it: valid UTF-16, whatever the bytes.
    const QString text = QString::fromUtf8(input.constData(), input.size());
    const QByteArray stored = cloudcodec::encryptCredential(text);
    FUZZ_CHECK(stored.size() == (text.toUtf8().size() / 16 + 1) * 16);
    FUZZ_CHECK(cloudcodec::decryptCredential(stored) == text);
    return 0;
}
