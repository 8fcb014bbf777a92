function test_octave_build_script(sourceDir, dataDir, cli)
%TEST_OCTAVE_BUILD_SCRIPT build_calvenor.m builds a working module from the
%   sources under SOURCEDIR into a temporary folder; its results agree to the
%   bit with the command line CLI on the data set DATADIR.
    previous = pwd();
    out = tempname();
    work = calvenor_test_folder(dataDir);
    cleanup = onCleanup(@() leave(previous, {out, work}));

    % The scripts' folder added as a user types it, relative to the current
    % folder: the build changes folder, and leaves folder, search path and
    % warnings as it found them.
    cd(sourceDir);
    addpath('matlab');
    here = pwd();
    searchPath = path();
    lastwarn('');
    module = build_calvenor(out);
    calvenor_check(strcmp(module, fullfile(out, 'Calvenor.mex')) && exist(module, 'file') == 3, ...
                   'build_calvenor: no module at %s', module);
    calvenor_check(strcmp(pwd(), here), 'build_calvenor: the current folder was not restored');
    calvenor_check(strcmp(path(), searchPath), 'build_calvenor: the search path was changed');
    [message, id] = lastwarn();
    calvenor_check(isempty(message), 'build_calvenor warned: %s (%s)', message, id);
    addpath(out);
    calvenor_check(strcmp(which('Calvenor'), module), 'the module built is not the one called');
    cd(work);
    p = [1.5129422096372658 0.35137742864961496 0.03167571412137506 0.26024852226096834 ...
         2.0227219752967343 0.0 1.585575205977755 0.21154775039617343 1.8349071296607558];
    [e, d] = Calvenor(p, [1 0 0]);
    [ce, cd_] = calvenor_cli_eval(cli, work, p, [1 0 0]);
    calvenor_check(isequaln(e, ce) && isequaln(d, cd_), 'module built by the script: %.17g, command line %.17g', e, ce);
    fprintf('test_octave_build_script: all checks passed\n');
end

function leave(previous, folders)
    cd(previous);
    clear('Calvenor');
    for k = 1:numel(folders)
        if exist(folders{k}, 'dir')
            rmdir(folders{k}, 's');
        end
    end
end
