function work = calvenor_test_folder(source)
%CALVENOR_TEST_FOLDER A writable temporary copy of SOURCE/vornevResult.
%   Returns the new folder, which holds vornevResult/ as a host folder does.
    work = tempname();
    mkdir(work);
    copyfile(fullfile(source, 'vornevResult'), fullfile(work, 'vornevResult'));
    % The source may be read-only; the copy must not be.
    if isunix()
        system(sprintf('chmod -R u+w "%s"', work));
    end
end
