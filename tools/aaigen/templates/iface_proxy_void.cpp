void @proxy@::@method@(@params@) {
    core_.CallVoid(@id@, @flag@@args@);
}
