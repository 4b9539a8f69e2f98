// gjs extension_syntax.js <legacy extension.js> <module extension.js>
// Parses both generated forms of the shell extension, the older one as a script and the newer one as an ES
// module: GNOME 45 and later, which would load the latter, do not run here.  A syntax error throws.
const {GLib} = imports.gi;

const [legacy, module] = ARGV;
for (const [path, target] of [[legacy, 'script'], [module, 'module']]) {
    const [, bytes] = GLib.file_get_contents(path);
    const program = Reflect.parse(new TextDecoder().decode(bytes), {target, source: path});
    if (program.body.length === 0)
        throw new Error(`${path} is empty`);
}
