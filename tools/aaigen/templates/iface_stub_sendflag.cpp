// The methods whose messages carry secrets, never to be logged with their payload.
bool @stub@::GetSendFlag(int methodId) {
    switch (methodId) {
    @cases@
        return false;
    default:
        return true;
    }
}
