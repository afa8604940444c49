<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>probe</name>
    <message>
        <source>app</source>
        <translation>app loaded</translation>
    </message>
    <message>
        <source>shared</source>
        <translation>from app</translation>
    </message>
</context>
</TS>
