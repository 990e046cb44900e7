case @id@:  // @method@
    return Dispatch(request, handler, &@name@::@method@);
