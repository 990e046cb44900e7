"""The aai code generator: interface description in, C++ out."""
